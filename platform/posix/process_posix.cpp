// The single-instance lock, the program's own path, the folders, the debug output (the agent's
// CP1251 converted to UTF-8) and the errors the user has to see.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "tools/common/cp1251.h"

namespace {

// Held until the process ends; the kernel drops the lock of a process that died.
int gLockFd = -1;

std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value && value[0] == '/' ? value : "";
}

}  // namespace

std::string PosixRuntimeDir() {
    std::string dir = Environment("XDG_RUNTIME_DIR");
    if (!dir.empty()) return dir;
    dir = "/tmp/vornaagent-" + std::to_string(getuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return "/tmp";
    struct stat info;
    // Someone else's folder of that name is not ours to use.
    if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid())
        return "/tmp";
    return dir;
}

std::string PosixConfigHome() {
    std::string dir = Environment("XDG_CONFIG_HOME");
    if (!dir.empty()) return dir;
    std::string home = Environment("HOME");
    return (home.empty() ? std::string("/tmp") : home) + "/.config";
}

std::string PosixControlSocketPath() { return PosixRuntimeDir() + "/vornaagent.sock"; }

std::string PosixToUtf8(const char* cp1251) { return Cp1251ToUtf8(cp1251 ? cp1251 : ""); }

bool PosixFromUtf8(const std::string& utf8, std::string* cp1251) {
    std::string error;
    return Utf8ToCp1251(utf8, cp1251, &error);
}

void PosixReportError(const std::string& utf8) {
    std::string line = utf8 + "\n";
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

PlatMutexResult PlatCreateInstanceMutex(const char*) {
    std::string path = PosixRuntimeDir() + "/vornaagent.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return kMutexFailed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool held = errno == EWOULDBLOCK;
        close(fd);
        return held ? kMutexExisted : kMutexFailed;
    }
    gLockFd = fd;
    return kMutexCreated;
}

// A lock is never left abandoned: the kernel releases it with the process.
bool PlatWaitInstanceMutexAbandoned(uint32_t) { return false; }

void PlatProgramPath(char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) length = 0;
    buffer[length] = '\0';
}

namespace {
// Set once the debug output was asked for (--debug), as opposed to the support log alone.
bool gDebugOutputOpen = false;
}  // namespace

void PlatOpenDebugOutput() { gDebugOutputOpen = true; }

void PlatDebugWrite(const char* ansiText) {
    std::string line = PosixToUtf8(ansiText);
    line += '\n';
    PosixDebugLogWrite(line);
    if (PosixDebugLogOpen() && !gDebugOutputOpen) return;
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}
