#include "tools/access_server/log_json.h"

#include <cstdio>

#include "core/cp1251.h"

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escape[8];
                    snprintf(escape, sizeof escape, "\\u%04x", byte);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

LogLine::LogLine(double seconds) {
    char number[32];
    snprintf(number, sizeof number, "%.3f", seconds);
    body_ = std::string("{\"t\": ") + number;
}

void LogLine::Key(const char* key) { body_ += std::string(", ") + JsonString(key) + ": "; }

LogLine& LogLine::Text(const char* key, const std::string& cp1251) {
    return Utf8(key, Cp1251ToUtf8(cp1251));
}

LogLine& LogLine::Utf8(const char* key, const std::string& utf8) {
    Key(key);
    body_ += JsonString(utf8);
    return *this;
}

LogLine& LogLine::TextList(const char* key, const std::string* cp1251, int count) {
    Key(key);
    body_ += "[";
    for (int i = 0; i < count; ++i) {
        if (i > 0) body_ += ", ";
        body_ += JsonString(Cp1251ToUtf8(cp1251[i]));
    }
    body_ += "]";
    return *this;
}

LogLine& LogLine::Flag(const char* key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

LogLine& LogLine::Number(const char* key, long long value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}
