#include "core/cp1251.h"

#include <cstdint>
#include <cstdio>

namespace {

const char32_t kReplacement = 0xFFFD;

// Code points of bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
const char32_t kHighHalf[64] = {
    0x0402, 0x0403, 0x201A,       0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C,       0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, kReplacement, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408,       0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE,       0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116,       0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

char32_t ByteToCodePoint(uint8_t byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);
    return kHighHalf[byte - 0x80];
}

bool CodePointToByte(char32_t point, uint8_t* byte) {
    if (point < 0x80) {
        *byte = static_cast<uint8_t>(point);
        return true;
    }
    if (point >= 0x0410 && point <= 0x044F) {
        *byte = static_cast<uint8_t>(0xC0 + (point - 0x0410));
        return true;
    }
    for (int i = 0; i < 64; ++i) {
        if (kHighHalf[i] == point && point != kReplacement) {
            *byte = static_cast<uint8_t>(0x80 + i);
            return true;
        }
    }
    return false;
}

void AppendUtf8(char32_t point, std::string* out) {
    if (point < 0x80) {
        out->push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (point >> 6)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | (point >> 12)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at text[*pos]; rejects overlong forms, surrogates and truncation.
bool NextCodePoint(const std::string& text, size_t* pos, char32_t* point) {
    const uint8_t lead = static_cast<uint8_t>(text[*pos]);
    int extra = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        *point = lead;
        ++*pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return false;
    }
    if (*pos + extra >= text.size()) return false;
    for (int i = 1; i <= extra; ++i) {
        const uint8_t next = static_cast<uint8_t>(text[*pos + i]);
        if ((next & 0xC0) != 0x80) return false;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    *point = value;
    *pos += extra + 1;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string Cp1251ToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes)
        AppendUtf8(ByteToCodePoint(static_cast<uint8_t>(c)), &out);
    return out;
}

bool Utf8ToCp1251(const std::string& text, std::string* bytes, std::string* error) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = pos;
        char32_t point = 0;
        if (!NextCodePoint(text, &pos, &point)) {
            *error = "malformed UTF-8 at byte " + std::to_string(start);
            return false;
        }
        uint8_t byte = 0;
        if (!CodePointToByte(point, &byte)) {
            char name[16];
            snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(point));
            *error = "character " + text.substr(start, pos - start) + " (" + name +
                     ") has no CP1251 form";
            return false;
        }
        out.push_back(static_cast<char>(byte));
    }
    *bytes = out;
    return true;
}

bool DecodeTextArgument(const std::string& text, std::string* bytes, std::string* error) {
    std::string out;
    std::string run;  // UTF-8 text since the last escape
    auto flush = [&]() {
        std::string converted;
        if (!Utf8ToCp1251(run, &converted, error)) return false;
        out += converted;
        run.clear();
        return true;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            run.push_back(text[i]);
            continue;
        }
        if (i + 1 >= text.size()) {
            *error = "the text ends with a lone backslash";
            return false;
        }
        const char kind = text[++i];
        if (kind == 'n' || kind == 'r' || kind == 't' || kind == '\\') {
            run.push_back(kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : '\\');
            continue;
        }
        if (kind == 'x') {
            const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                *error = "\\x needs two hex digits";
                return false;
            }
            if (!flush()) return false;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
            continue;
        }
        *error = std::string("unknown escape \\") + kind + " (known: \\n \\r \\t \\\\ \\xHH)";
        return false;
    }
    if (!flush()) return false;
    *bytes = out;
    return true;
}
