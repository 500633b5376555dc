// What administrators and support ask of the agent: the machine policy and the support log.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/conf_files.h"
#include "platform/posix/posix_internal.h"
#include "settings/site_file.h"

namespace {

const size_t kMaxPolicyFile = 64 * 1024;
const off_t kLogLimit = 1L << 20;

std::vector<NameValue> gPolicy;  // the lines of a valid policy file

int gLog = -1;
std::string gLogPath;

// The log holds session ids: it is ours alone, and a link or a FIFO put at its name is refused.
int OpenLogFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                  0600);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

// Another agent on the same log may have moved it to .1: write on at the name, not into the
// moved file (whose history a second move would destroy).
void FollowRotation() {
    struct stat mine, named;
    if (fstat(gLog, &mine) != 0) return;
    if (stat(gLogPath.c_str(), &named) == 0 && named.st_ino == mine.st_ino &&
        named.st_dev == mine.st_dev)
        return;
    int fd = OpenLogFile(gLogPath);
    if (fd < 0) return;
    close(gLog);
    gLog = fd;
}

// Past the limit the log moves to PATH.1 and starts again; where it cannot be moved (PATH.1 is
// a folder, say) it starts again in place, so that it never grows without bound.
void RotateIfFull(size_t adding) {
    struct stat info;
    if (fstat(gLog, &info) != 0 || info.st_size + static_cast<off_t>(adding) <= kLogLimit) return;
    // One agent moves it; one that waited here finds a fresh file at the name.
    flock(gLog, LOCK_EX);
    FollowRotation();
    if (fstat(gLog, &info) == 0 && info.st_size + static_cast<off_t>(adding) > kLogLimit) {
        if (rename(gLogPath.c_str(), (gLogPath + ".1").c_str()) != 0) {
            if (ftruncate(gLog, 0) != 0) {}  // a log that cannot even be cut: write on
        } else {
            int fd = OpenLogFile(gLogPath);
            if (fd >= 0) {
                flock(gLog, LOCK_UN);
                close(gLog);
                gLog = fd;
                return;
            }
        }
    }
    flock(gLog, LOCK_UN);
}

}  // namespace

bool PosixLoadPolicy(const std::string& path, std::string* error) {
    gPolicy.clear();
    std::vector<NameValue> lines;  // taken only when the whole file is valid
    std::string text, why;
    bool missing = false;
    if (PosixReadSmallFile(path, kMaxPolicyFile, &text, &why, &missing))
        return ParsePolicyFile(path, text, &lines, error) && (gPolicy = lines, true);
    if (missing) return true;  // no policy set on this machine
    *error = path + ": cannot be read (" + why + ")";
    return false;
}

void PlatLoadPolicy(const char* const* names, int count, PlatPolicyRecord* record) {
    PolicyRecordFromLines(gPolicy, kPolicyPath, names, count, record);
}

bool PlatOpenDebugLog(const char* path) {
    if (!path || *path == '\0') return false;
    if (gLog >= 0) close(gLog);
    gLogPath = ExpandEnvironment(path);
    gLog = OpenLogFile(gLogPath);
    return gLog >= 0;
}

bool PosixDebugLogOpen() { return gLog >= 0; }

// Appends one UTF-8 line.
void PosixDebugLogWrite(const std::string& line) {
    if (gLog < 0) return;
    FollowRotation();
    RotateIfFull(line.size());
    ssize_t ignored = write(gLog, line.data(), line.size());
    (void)ignored;
}
