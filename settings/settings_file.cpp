#include "settings/settings_file.h"

#include <cstring>
#include <vector>

#include "core/text.h"

namespace {

const char kHeader[] = "vornaagent-settings 1";
const size_t kMaxValues = 32;
const size_t kMaxNameLength = 64;

const struct {
    PlatValueType type;
    const char* word;
} kTypeWords[] = {
    {kValueString, "string"},
    {kValueBinary, "binary"},
    {kValueDword, "dword"},
    {kValueNone, "none"},
};

const char* TypeWord(PlatValueType type) {
    for (const auto& t : kTypeWords)
        if (t.type == type) return t.word;
    return nullptr;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (char c : name)
        if (c <= ' ' || c > '~') return false;
    return true;
}

// One line: NAME TYPE HEX into the value of that name (other names are kept by nobody: the
// file holds only the agent's own). False on anything else.
bool ParseLine(const std::string& line, StoredSettings* settings) {
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) return false;
    std::string name = line.substr(0, first);
    std::string word = line.substr(first + 1, second - first - 1);
    const char* known = nullptr;
    PlatValueType type = kValueNone;
    for (const auto& t : kTypeWords) {
        if (word == t.word) {
            known = t.word;
            type = t.type;
        }
    }
    std::string hex = line.substr(second + 1);
    StoredValue value = {};
    long size = HexDecode(hex.data(), hex.size(), value.data, kStoredValueSize);
    if (known == nullptr || !ValidName(name) || size < 0) return false;
    if (type == kValueDword && size != 4) return false;
    for (int i = 0; i < kStoredCount; i++) {
        if (name != kStoredNames[i]) continue;
        value.present = true;
        value.type = type;
        value.size = static_cast<uint32_t>(size);
        settings->values[i] = value;
    }
    return true;
}

}  // namespace

bool ParseSettingsText(const std::string& text, StoredSettings* settings) {
    static StoredSettings parsed;
    memset(&parsed, 0, sizeof parsed);
    // A file we wrote starts with the header and ends with a line end.
    std::string header = std::string(kHeader) + "\n";
    if (text.compare(0, header.size(), header) != 0 || text.back() != '\n') return false;
    size_t lines = 0;
    for (size_t at = header.size(); at < text.size(); lines++) {
        size_t end = text.find('\n', at);
        if (lines >= kMaxValues || !ParseLine(text.substr(at, end - at), &parsed)) return false;
        at = end + 1;
    }
    *settings = parsed;
    return true;
}

bool ApplySettingsChange(const StoredSettings& change, StoredSettings* stored) {
    bool changed = false;
    for (int i = 0; i < kStoredCount; i++) {
        const StoredValue& next = change.values[i];
        StoredValue& value = stored->values[i];
        if (next.action == kStoredDelete) {
            changed |= value.present;
            value.present = false;
        } else if (next.action == kStoredWrite && TypeWord(next.type) != nullptr) {
            bool same = value.present && value.type == next.type && value.size == next.size &&
                        memcmp(value.data, next.data, next.size) == 0;
            changed |= !same;
            value = next;
            value.present = true;
            value.action = kStoredKeep;
        }
    }
    return changed;
}

std::string SettingsText(const StoredSettings& settings) {
    std::string text = std::string(kHeader) + "\n";
    for (int i = 0; i < kStoredCount; i++) {
        const StoredValue& value = settings.values[i];
        if (!value.present || TypeWord(value.type) == nullptr) continue;
        std::vector<char> hex(2 * value.size + 1);
        HexEncode(value.data, value.size, hex.data());
        text += std::string(kStoredNames[i]) + " " + TypeWord(value.type) + " " + hex.data() + "\n";
    }
    return text;
}
