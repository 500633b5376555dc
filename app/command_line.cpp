#include "app/command_line.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int SplitCommandLine(const char* line, char* storage, size_t storageSize, char** argv,
                     int maxArgs) {
    if (storageSize == 0 || maxArgs <= 0) return 0;
    size_t used = 0;
    int count = 0;
    const char* p = line;
    while (*p != '\0' && count < maxArgs) {
        while (IsBlank(*p))
            p++;
        if (*p == '\0') break;
        if (used + 1 >= storageSize) break;  // no room for even an empty argument
        argv[count++] = storage + used;
        bool quoted = false;
        while (*p != '\0' && (quoted || !IsBlank(*p))) {
            if (*p == '"') {
                quoted = !quoted;
            } else if (used + 1 < storageSize) {
                storage[used++] = *p;
            }
            p++;
        }
        storage[used++] = '\0';
    }
    if (count < maxArgs) argv[count] = nullptr;
    return count;
}
