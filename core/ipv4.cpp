#include "core/ipv4.h"

bool ParseDecimal(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text.size() > 15) return false;
    long long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    if (result < low || result > high) return false;
    *value = result;
    return true;
}

bool IsServerAddress(const std::string& text) {
    return IsDottedIpv4(text) && text != "0.0.0.0" && text != "255.255.255.255";
}

bool IsDottedIpv4(const std::string& text) {
    size_t start = 0;
    for (int octet = 0; octet < 4; ++octet) {
        const size_t dot = text.find('.', start);
        if ((octet < 3) != (dot != std::string::npos)) return false;
        const std::string part = text.substr(start, dot == std::string::npos ? dot : dot - start);
        long long value = 0;
        if (part.size() > 3 || !ParseDecimal(part, 0, 255, &value)) return false;
        if (part.size() > 1 && part[0] == '0') return false;
        start = dot + 1;
    }
    return true;
}
