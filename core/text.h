// Bounded text helpers: every copy into a fixed field is cut to fit and NUL-terminated.
#pragma once

#include <cstddef>

// Zero-fills the `size` bytes of `destination`, then copies at most size - 1 characters.
void CopyBounded(char* destination, size_t size, const char* source);

// Copies `source` with control characters (below 0x20, and 0x7f) written as \xNN, so text from
// the network cannot drive a terminal that shows the debug output; cut to fit and NUL-terminated.
void EscapeControls(char* destination, size_t size, const char* source);
