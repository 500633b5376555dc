#include "tests/soak/soak_logs.h"

#include <cctype>
#include <cstdlib>

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string UnescapeControls(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                            isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                            isxdigit(static_cast<unsigned char>(text[i + 3]));
        if (escape) {
            out += static_cast<char>(strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

namespace {

// The server log holds UTF-8 strings with \" \\ \n \r \t and \u00XX escapes only.
bool ReadJsonString(const std::string& line, size_t* at, std::string* out) {
    size_t i = *at;
    if (i >= line.size() || line[i] != '"') return false;
    out->clear();
    for (++i; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            *at = i + 1;
            return true;
        }
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= line.size()) return false;
        switch (line[i]) {
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (i + 4 >= line.size()) return false;
                const std::string digits = line.substr(i + 1, 4);
                if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    return false;
                }
                *out += static_cast<char>(strtol(digits.c_str(), nullptr, 16));
                i += 4;
                break;
            }
            default: *out += line[i]; break;
        }
    }
    return false;
}

// Finds `"key": ` and returns the position of the value after it, or npos.
size_t JsonValueAt(const std::string& line, const char* key) {
    std::string pattern = std::string("\"") + key + "\": ";
    size_t at = line.find(pattern);
    return at == std::string::npos ? at : at + pattern.size();
}

}  // namespace

bool JsonField(const std::string& line, const char* key, std::string* out) {
    size_t at = JsonValueAt(line, key);
    return at != std::string::npos && ReadJsonString(line, &at, out);
}

bool JsonList(const std::string& line, const char* key, std::vector<std::string>* out) {
    size_t at = JsonValueAt(line, key);
    if (at == std::string::npos || line[at] != '[') return false;
    out->clear();
    ++at;
    while (at < line.size() && line[at] != ']') {
        std::string item;
        if (!ReadJsonString(line, &at, &item)) return false;
        out->push_back(item);
        while (at < line.size() && (line[at] == ',' || line[at] == ' '))
            ++at;
    }
    return at < line.size();
}
