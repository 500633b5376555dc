// Start at logon: `systemctl --user enable vornaagent.service` when a user manager runs,
// otherwise an entry in the XDG autostart folder that desktop sessions start.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/linux/autostart_linux.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

extern char** environ;

namespace {

const char kUnit[] = "vornaagent.service";

bool UserManagerRuns() {
    struct stat info;
    return stat((PosixRuntimeDir() + "/systemd/private").c_str(), &info) == 0 &&
           S_ISSOCK(info.st_mode);
}

std::string UnitLink() { return PosixConfigHome() + "/systemd/user/default.target.wants/" + kUnit; }

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// systemctl, waited for at most five seconds: the agent's loop must not hang on it.
bool Systemctl(const char* verb) {
    char arg0[] = "systemctl", arg1[] = "--user", arg2[] = "--quiet";
    char unit[sizeof kUnit];
    snprintf(unit, sizeof unit, "%s", kUnit);
    std::string verbCopy = verb;
    char* argv[] = {arg0, arg1, arg2, &verbCopy[0], unit, nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv, environ) != 0) return false;
    for (int i = 0; i < 100; i++) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0) return false;
        timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

std::string EntryText() {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=VornaAgent\n"
           "Comment=Logs this workstation on to the site's network access server\n"
           "Exec=" +
           PosixAutostartCommand() +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool WriteEntry() {
    std::string path = PosixAutostartEntryPath();
    std::string folder = path.substr(0, path.rfind('/'));
    mkdir(PosixConfigHome().c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    std::string text = EntryText();
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

}  // namespace

std::string PosixAutostartEntryPath() {
    return PosixConfigHome() + "/autostart/vornaagent.desktop";
}

std::string PosixAutostartCommand() {
    char path[4096];
    PosixProgramPath(path, sizeof path);
    return std::string(path) + " run";
}

bool PosixAutostartEnabled() { return Exists(UnitLink()) || Exists(PosixAutostartEntryPath()); }

bool PosixAutostartIsOurs() {
    if (Exists(UnitLink())) return true;
    int fd = open(PosixAutostartEntryPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[4096];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 && std::string(text, static_cast<size_t>(n)) == EntryText();
}

bool PosixAutostartSet(bool on) {
    bool manager = UserManagerRuns();
    if (on) {
        if (Exists(UnitLink())) return true;
        if (manager && Systemctl("enable")) return true;
        return WriteEntry();
    }
    bool ok = true;
    if (Exists(UnitLink())) ok = manager && Systemctl("disable");
    std::string entry = PosixAutostartEntryPath();
    if (Exists(entry) && unlink(entry.c_str()) != 0) ok = false;
    return ok;
}

AutostartState PlatAutostartState() {
    if (!PosixAutostartEnabled()) return kAutostartAbsent;
    return PosixAutostartIsOurs() ? kAutostartOurs : kAutostartOther;
}

bool PlatSetAutostart(bool on) { return PosixAutostartSet(on); }
