// Bounded text helpers: every copy into a fixed field is cut to fit and NUL-terminated.
#pragma once

#include <cstddef>
#include <string>

// Zero-fills the `size` bytes of `destination`, then copies at most size - 1 characters.
void CopyBounded(char* destination, size_t size, const char* source);

// Copies `source` with control characters (below 0x20, and 0x7f) written as \xNN, so text from
// the network cannot drive a terminal that shows the debug output; cut to fit and NUL-terminated.
void EscapeControls(char* destination, size_t size, const char* source);

// `size` bytes as lower-case hex into `destination` (2 * size + 1 bytes: the NUL included).
void HexEncode(const unsigned char* bytes, size_t size, char* destination);
// Lower-case hex (an even count of digits) back into at most `room` bytes; the byte count, or -1
// for anything else.
long HexDecode(const char* hex, size_t length, unsigned char* bytes, size_t room);

// `path` with each %NAME% replaced by the environment's value (empty when unset), as a Run entry
// or a shortcut would have it.
std::string ExpandEnvironment(const char* path);
