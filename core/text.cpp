#include "core/text.h"

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
