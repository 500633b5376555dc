#include "settings/site_file.h"

#include <cstring>

#include "core/agent_state.h"
#include "core/ipv4.h"
#include "core/text.h"
#include "settings/policy.h"

namespace {

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Where(const std::string& path, int line) {
    return path + ":" + std::to_string(line) + ": ";
}

}  // namespace

bool ParseNameValues(const std::string& path, const std::string& text,
                     std::vector<NameValue>* lines, std::string* error) {
    lines->clear();
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        number++;
        if (line.size() > kMaxSettingLine) {
            *error = Where(path, number) + "line longer than " + std::to_string(kMaxSettingLine) +
                     " characters";
            return false;
        }
        line = Trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            *error = Where(path, number) + "expected name=value";
            return false;
        }
        lines->push_back(
            {number, Trimmed(line.substr(0, equals)), Trimmed(line.substr(equals + 1))});
    }
    return true;
}

bool ParseSiteFile(const std::string& path, const std::string& text, SiteFile* site,
                   std::string* error) {
    std::vector<NameValue> lines;
    if (!ParseNameValues(path, text, &lines, error)) return false;
    for (const NameValue& line : lines) {
        long long port = 0;
        std::string where = Where(path, line.line);
        if (line.name == "address" && line.value.size() < kAddressSize &&
            IsServerAddress(line.value)) {
            site->address = line.value;
        } else if (line.name == "address") {
            *error = where + "address must be A.B.C.D (not 0.0.0.0 or 255.255.255.255)";
            return false;
        } else if (line.name == "port" && ParseDecimal(line.value, 1, 65535, &port)) {
            site->port = line.value;
        } else if (line.name == "port") {
            *error = where + "port must be 1 to 65535";
            return false;
        } else if (line.name == "key") {
            site->keyPath = line.value;
            site->keyLine = line.line;
        } else {
            *error = where + "unknown name \"" + line.name + "\" (address, port, key)";
            return false;
        }
    }
    return true;
}

void ApplySiteFile(const SiteFile& site, const std::string& keyPem) {
    if (!site.address.empty())
        CopyBounded(gConfig.serverAddress, sizeof gConfig.serverAddress, site.address.c_str());
    if (!site.port.empty())
        CopyBounded(gConfig.serverPort, sizeof gConfig.serverPort, site.port.c_str());
    if (!keyPem.empty())
        CopyBounded(gConfig.serverKeyPem, sizeof gConfig.serverKeyPem, keyPem.c_str());
}

namespace {

// Why `value` is no value of `entry`, or nullptr.
const char* PolicyValueProblem(const PolicySpec& entry, const std::string& value) {
    long long number = 0;
    switch (entry.kind) {
        case kPolicyFlag: return value == "0" || value == "1" ? nullptr : "takes 0 or 1";
        case kPolicyNumber:
            return ParseDecimal(value, entry.min, entry.max, &number) ? nullptr
                                                                      : "takes a number in range";
        case kPolicyPath:
            return !value.empty() && value.size() < kPolicyTextSize ? nullptr : "takes a path";
        case kPolicyAddressText:
            return value.size() < kAddressSize && IsServerAddress(value) ? nullptr
                                                                         : "takes A.B.C.D";
    }
    return "is not known";
}

}  // namespace

bool ParsePolicyFile(const std::string& path, const std::string& text,
                     std::vector<NameValue>* lines, std::string* error) {
    if (!ParseNameValues(path, text, lines, error)) return false;
    for (const NameValue& line : *lines) {
        const PolicySpec* entry = nullptr;
        for (const PolicySpec& known : kPolicies)
            if (line.name == known.name) entry = &known;
        if (entry == nullptr) {
            *error = Where(path, line.line) + "unknown name \"" + line.name + "\"";
            return false;
        }
        const char* problem = PolicyValueProblem(*entry, line.value);
        if (problem != nullptr) {
            *error =
                Where(path, line.line) + line.name + " " + problem + ", not \"" + line.value + "\"";
            return false;
        }
    }
    return true;
}

void PolicyRecordFromLines(const std::vector<NameValue>& lines, const char* where,
                           const char* const* names, int count, PlatPolicyRecord* record) {
    memset(record, 0, sizeof *record);
    for (int i = 0; i < count && i < kPolicyMaxValues; i++) {
        for (const NameValue& line : lines) {
            if (line.name != names[i]) continue;
            PlatPolicyValue& value = record->machine[i];
            long long number = 0;
            bool isNumber = ParseDecimal(line.value, 0, 0xFFFFFFFFLL, &number);
            value.type = isNumber ? kValueDword : kValueString;
            value.number = isNumber ? static_cast<uint32_t>(number) : 0;
            CopyBounded(value.text, sizeof value.text, isNumber ? "" : line.value.c_str());
            value.where = where;
        }
    }
}
