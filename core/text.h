// Bounded text helpers: every copy into a fixed field is cut to fit and NUL-terminated.
#pragma once

#include <cstddef>

// Zero-fills the `size` bytes of `destination`, then copies at most size - 1 characters.
void CopyBounded(char* destination, size_t size, const char* source);
