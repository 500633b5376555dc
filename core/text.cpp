#include "core/text.h"

#include <cstdlib>
#include <cstring>

#include <cstring>

void CopyBounded(char* destination, size_t size, const char* source) {
    if (size == 0) return;
    memset(destination, 0, size);
    if (source == nullptr) return;
    size_t length = strnlen(source, size - 1);
    memcpy(destination, source, length);
}

void EscapeControls(char* destination, size_t size, const char* source) {
    if (size == 0) return;
    static const char kHex[] = "0123456789abcdef";
    size_t used = 0;
    for (; *source != '\0'; ++source) {
        const unsigned char c = static_cast<unsigned char>(*source);
        const bool control = c < 0x20 || c == 0x7f;
        const size_t need = control ? 4 : 1;
        if (used + need >= size) break;
        if (control) {
            destination[used++] = '\\';
            destination[used++] = 'x';
            destination[used++] = kHex[c >> 4];
            destination[used++] = kHex[c & 15];
        } else {
            destination[used++] = static_cast<char>(c);
        }
    }
    destination[used] = '\0';
}

void HexEncode(const unsigned char* bytes, size_t size, char* destination) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; i++) {
        destination[2 * i] = kDigits[bytes[i] >> 4];
        destination[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    destination[2 * size] = '\0';
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

long HexDecode(const char* hex, size_t length, unsigned char* bytes, size_t room) {
    if (length % 2 != 0 || length / 2 > room) return -1;
    for (size_t i = 0; i < length; i += 2) {
        int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return -1;
        bytes[i / 2] = static_cast<unsigned char>(high * 16 + low);
    }
    return static_cast<long>(length / 2);
}

std::string ExpandEnvironment(const char* path) {
    std::string out;
    for (const char* p = path; *p != '\0';) {
        const char* end = *p == '%' ? strchr(p + 1, '%') : nullptr;
        if (end != nullptr && end > p + 1) {
            std::string name(p + 1, end);
            const char* value = getenv(name.c_str());
            out += value != nullptr ? value : "";
            p = end + 1;
        } else {
            out += *p++;
        }
    }
    return out;
}
