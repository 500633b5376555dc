#include "core/text.h"

#include <cstring>

void CopyBounded(char* destination, size_t size, const char* source) {
    if (size == 0) return;
    memset(destination, 0, size);
    if (source == nullptr) return;
    size_t length = strnlen(source, size - 1);
    memcpy(destination, source, length);
}
