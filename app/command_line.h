// Splitting the command line the way the agent reads its arguments.
#pragma once

#include <cstddef>

// Splits `line` at spaces and tabs, a double-quoted run counting as one argument (the quotes
// are dropped). Arguments are copied NUL-terminated into `storage`; at most `maxArgs` pointers
// go to `argv`, followed by nullptr when there is room. Returns the argument count.
int SplitCommandLine(const char* line, char* storage, size_t storageSize, char** argv, int maxArgs);
