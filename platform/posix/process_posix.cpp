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

#include "core/cp1251.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// Held until the process ends; the kernel drops the lock of a process that died.
int gLockFd = -1;

// A router account's instance: its own folder (made here, 0700) and its name for the socket and
// the lock; empty for the desktop agent.
std::string gSystemDir;
std::string gInstance = "vornaagent";

std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value && value[0] == '/' ? value : "";
}

}  // namespace

// A folder only this user can enter: ours, a real folder (not a link), no access for others.
bool PrivateFolder(const std::string& dir) {
    struct stat info;
    return lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 077) == 0;
}

void PosixUseSystemDir(const std::string& dir, const std::string& instance) {
    gSystemDir = dir;
    gInstance = instance;
}

std::string PosixRuntimeDir() {
    // The control socket carries passwords: it lives only where nobody else can reach it.
    if (!gSystemDir.empty()) {
        if (mkdir(gSystemDir.c_str(), 0700) != 0 && errno != EEXIST) return "";
        return PrivateFolder(gSystemDir) ? gSystemDir : "";
    }
    std::string dir = Environment("XDG_RUNTIME_DIR");
    if (!dir.empty() && PrivateFolder(dir)) return dir;
    dir = "/tmp/vornaagent-" + std::to_string(geteuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return "";
    return PrivateFolder(dir) ? dir : "";
}

std::string PosixRuntimeDirProblem() {
    if (!gSystemDir.empty())
        return "the runtime folder " + gSystemDir +
               " cannot be used: it must be a folder of this user's own with mode 0700";
    std::string own = "/tmp/vornaagent-" + std::to_string(geteuid());
    return "no private runtime folder: $XDG_RUNTIME_DIR is unset or not the user's own with mode "
           "0700, and " +
           own +
           " is not a folder of the user's own with mode 0700 (remove it, or set "
           "XDG_RUNTIME_DIR)";
}

std::string PosixConfigHome() {
    std::string dir = Environment("XDG_CONFIG_HOME");
    if (!dir.empty()) return dir;
    std::string home = Environment("HOME");
    return (home.empty() ? std::string("/tmp") : home) + "/.config";
}

std::string PosixControlSocketPath() {
    std::string dir = PosixRuntimeDir();
    return dir.empty() ? "" : dir + "/" + gInstance + ".sock";
}

void PosixReportError(const std::string& utf8) {
    std::string line = utf8 + "\n";
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

namespace {

PlatMutexResult gLockResult = kMutexFailed;
pid_t gLockTriedBy = 0;  // a forked child is another process: it asks again

PlatMutexResult TakeLock() {
    std::string dir = PosixRuntimeDir();
    if (dir.empty()) return kMutexFailed;
    std::string path = dir + "/" + gInstance + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return kMutexFailed;
    // Only our own lock file says whether another agent of ours runs.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        errno = EPERM;
        return kMutexFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool held = errno == EWOULDBLOCK;
        close(fd);
        return held ? kMutexExisted : kMutexFailed;
    }
    gLockFd = fd;
    return kMutexCreated;
}

}  // namespace

PlatMutexResult PosixTakeInstanceLock() {
    if (gLockTriedBy != getpid()) gLockResult = TakeLock();
    gLockTriedBy = getpid();
    return gLockResult;
}

// Taken before the core starts when the agent runs; the core's question gets the same answer.
PlatMutexResult PlatCreateInstanceMutex(const char*) { return PosixTakeInstanceLock(); }

// A lock is never left abandoned: the kernel releases it with the process.
bool PlatWaitInstanceMutexAbandoned(uint32_t) { return false; }

void PosixProgramPath(char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) length = 0;
    buffer[length] = '\0';
    // After an upgrade replaced the running file, the kernel names it "PATH (deleted)"; the
    // program to start next time is the one installed at PATH now.
    static const char kDeleted[] = " (deleted)";
    size_t suffix = sizeof kDeleted - 1;
    size_t used = static_cast<size_t>(length);
    if (used > suffix && strcmp(buffer + used - suffix, kDeleted) == 0) {
        buffer[used - suffix] = '\0';
        if (access(buffer, X_OK) != 0) buffer[0] = '\0';
    }
}

namespace {
// Set once the debug output was asked for (--debug), as opposed to the support log alone.
bool gDebugOutputOpen = false;
}  // namespace

void PlatOpenDebugOutput() { gDebugOutputOpen = true; }

void PlatDebugWrite(const char* ansiText) {
    std::string line = Cp1251ToUtf8(ansiText);
    line += '\n';
    PosixDebugLogWrite(line);
    if (PosixDebugLogOpen() && !gDebugOutputOpen) return;
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}
