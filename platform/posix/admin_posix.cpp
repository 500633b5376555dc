// What administrators and support ask of the agent: the machine policy, the support log, and
// greyed controls (the dialogs have no controls here, so greying is only remembered).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// The machine policy lives in one small file of "name=value" lines; `#` starts a comment.
const char kPolicyFile[] = "/etc/vornaagent/policy.conf";
const long kLogLimit = 1L << 20;

FILE* gLog = nullptr;
std::string gLogPath;

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// $NAME and %NAME% in the path are the environment's values, as a Run entry would write them.
std::string ExpandedPath(const char* path) {
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

bool OpenLog() {
    gLog = fopen(gLogPath.c_str(), "a");
    return gLog != nullptr;
}

// The value of the last "name=..." line for `name`, or false. A decimal number reads as a DWORD,
// anything else as text.
bool ReadPolicyLine(FILE* file, const char* name, PlatPolicyValue* value) {
    rewind(file);
    char line[512];
    bool found = false;
    while (fgets(line, sizeof line, file)) {
        std::string text = line;
        size_t hash = text.find('#');
        if (hash != std::string::npos) text.erase(hash);
        size_t equals = text.find('=');
        if (equals == std::string::npos || Trimmed(text.substr(0, equals)) != name) continue;
        std::string data = Trimmed(text.substr(equals + 1));
        char* end = nullptr;
        unsigned long parsed = strtoul(data.c_str(), &end, 10);
        if (!data.empty() && data[0] != '-' && *end == '\0' && parsed <= 0xFFFFFFFFUL) {
            value->type = kValueDword;
            value->number = static_cast<uint32_t>(parsed);
        } else if (data.size() < kPolicyTextSize) {
            value->type = kValueString;
            memcpy(value->text, data.c_str(), data.size() + 1);
        } else {
            value->type = kValueOther;
        }
        found = true;
    }
    return found;
}

}  // namespace

// The machine's policy only: there is no per-user policy file.
void PlatLoadPolicy(const char*, const char* const* names, int count, PlatPolicyRecord* record) {
    memset(record, 0, sizeof *record);
    if (!names || count < 0 || count > kPolicyMaxValues) return;
    FILE* file = fopen(kPolicyFile, "r");
    if (!file) return;
    for (int i = 0; i < count; ++i) {
        if (ReadPolicyLine(file, names[i], &record->machine[i]))
            record->machine[i].where = kPolicyFile;
    }
    fclose(file);
}

void PlatSetItemEnabled(PlatWindow, int, bool) {}

bool PlatOpenDebugLog(const char* path) {
    if (!path || *path == '\0') return false;
    if (gLog) fclose(gLog);
    gLogPath = ExpandedPath(path);
    return OpenLog();
}

bool PosixDebugLogOpen() { return gLog != nullptr; }

// Appends one UTF-8 line; a log past its limit moves to PATH.1 and starts again.
void PosixDebugLogWrite(const std::string& line) {
    if (!gLog) return;
    if (ftell(gLog) + static_cast<long>(line.size()) > kLogLimit) {
        fclose(gLog);
        rename(gLogPath.c_str(), (gLogPath + ".1").c_str());
        if (!OpenLog()) return;
    }
    fwrite(line.data(), 1, line.size(), gLog);
    fflush(gLog);
}
