// vornaagent: the agent itself (`run`) and the commands that talk to the running agent over its
// control socket. Compiled without the CP1251 execution charset: its own texts are UTF-8.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/remote.h"
#include "platform/events.h"
#include "platform/platform.h"
#include "platform/posix/conf_files.h"
#include "platform/posix/posix_internal.h"
#include "settings/uci_file.h"
#ifdef VORNA_TRAY
#include "platform/linux/tray_linux.h"
#endif

namespace {

const uint32_t kAnswerTimeoutMs = 120000;

int Usage(const std::string& why) {
    fprintf(stderr, "vornaagent: %s (see vornaagent --help)\n", why.c_str());
    return kExitUsage;
}

const size_t kMaxUciFile = 64 * 1024;

// A router's account: the logon the agent starts with, when the file gives a password.
std::string gUnattendedLogin, gUnattendedPassword;
bool gUnattendedPending = false;

bool UnattendedPending() { return gUnattendedPending; }

void StartUnattended() {
    if (!gUnattendedPending) return;
    gUnattendedPending = false;
    CommandLogOnUnattended(gUnattendedLogin.c_str(), gUnattendedPassword.c_str());
}

// The UCI file holds passwords: only one of the user's own (or root's) that nobody else may
// read is used.
bool CheckUciFile(const std::string& path, std::string* error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = path + ": cannot be read (" + strerror(errno) + ")";
        return false;
    }
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if (info.st_uid != geteuid() && info.st_uid != 0)
        *error = path + ": not this user's own file: it holds passwords";
    else if ((info.st_mode & 077) != 0)
        *error =
            path + ": mode " + mode + " lets others read the passwords (chmod 600 " + path + ")";
    return error->empty();
}

bool ReadUci(const CliCommand& command, UciAccount* account, std::string* error) {
    const std::string& path = command.run.uci;
    std::string text, why;
    if (!CheckUciFile(path, error)) return false;
    if (!PosixReadSmallFile(path, kMaxUciFile, &text, &why)) {
        *error = path + ": cannot be read (" + why + ")";
        return false;
    }
    if (!ReadUciAccount(path, text, command.account, account, error)) return false;
    if (!account->enabled) {
        *error = path + ": the account '" + command.account + "' is not enabled";
        return false;
    }
    return ApplySiteConfig(path, account->site, error);
}

// A router account's agent: server, port and key from the account, else the agent section, else
// the built-in block; the settings kept in memory; its connections bound to its device.
bool PrepareUci(const CliCommand& command) {
    const std::string& path = command.run.uci;
    std::string error;
    UciAccount account;
    ReadUci(command, &account, &error);
    if (!error.empty()) {
        fprintf(stderr, "vornaagent: bad configuration: %s\n", error.c_str());
        return false;
    }
    PosixUseSystemDir(command.runtimeDir, command.account);
    PosixKeepSettingsInMemory();
    PosixBindToDevice(account.device);
    gUnattendedLogin = account.login;
    gUnattendedPassword = account.password;
    gUnattendedPending = !account.login.empty() && !account.password.empty();
    if (command.run.debug)
        printf("Configuration: %s, account %s%s%s\n", path.c_str(), command.account.c_str(),
               account.device.empty() ? "" : ", device ", account.device.c_str());
    return true;
}

bool PrepareSite(const CliRun& run) {
    std::string source = "the block built into the program";
    std::string path = run.config.empty() ? kSiteConfigPath : run.config;
    std::string error;
    if (!run.config.empty() || access(path.c_str(), F_OK) == 0) {
        if (!LoadSiteConfig(path, &error)) {
            fprintf(stderr, "vornaagent: bad configuration: %s\n", error.c_str());
            return false;
        }
        source = path;
    }
    if (run.debug) printf("Configuration: %s\n", source.c_str());
    return true;
}

// What has to hold before the core starts: the site, the policy, a private runtime folder, the
// lock and the control socket (without which nobody could log on or stop the agent).
bool Prepare(const CliCommand& command) {
    const CliRun& run = command.run;
    if (!(run.uci.empty() ? PrepareSite(run) : PrepareUci(command))) return false;
    fflush(stdout);
    std::string error;
    if (!PosixLoadPolicy(kPolicyPath, &error)) {
        fprintf(stderr, "vornaagent: bad machine policy: %s\n", error.c_str());
        return false;
    }
    if (PosixRuntimeDir().empty()) {
        fprintf(stderr, "vornaagent: %s\n", PosixRuntimeDirProblem().c_str());
        return false;
    }
    PlatMutexResult lock = PosixTakeInstanceLock();
    if (lock == kMutexFailed) {
        fprintf(stderr, "vornaagent: the lock file in %s cannot be used: %s\n",
                PosixRuntimeDir().c_str(), strerror(errno));
        return false;
    }
    // The logon the file asks for, once the core is up (on the loop's first round).
    if (gUnattendedPending)
        PosixAddRoundHooks({UnattendedPending, StartUnattended, nullptr, nullptr, nullptr});
    // Another agent holds the lock: the core says that one runs already.
    if (lock == kMutexExisted) return true;
    if (!PosixControlStart()) return false;
#ifdef VORNA_TRAY
    // An unattended account's agent has no desktop to show itself on.
    if (command.run.uci.empty()) LinuxTrayStart();
#endif
    return true;
}

int Run(const CliCommand& command, const char* program) {
    if (!Prepare(command)) return kExitUsage;
    std::vector<std::string> words = command.run.AgentArguments(program);
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return AgentMain(static_cast<int>(words.size()), argv.data());
}

// ---- The client side ----

// Connects to the user's own agent. Another user's listener at the path (which a private
// runtime folder rules out, but the check costs nothing) gets nothing: -2.
int Connect() {
    std::string path = PosixControlSocketPath();
    if (path.empty()) return -1;
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    ucred peer;
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid()) {
        close(fd);
        return -2;
    }
    return fd;
}

int Ask(const std::string& request, const std::string& account) {
    int fd = Connect();
    if (fd == -2) {
        fprintf(stderr, "vornaagent: %s is not this user's agent; nothing was sent\n",
                PosixControlSocketPath().c_str());
        return kExitFailed;
    }
    if (fd < 0 && PosixRuntimeDir().empty()) {
        fprintf(stderr, "vornaagent: %s\n", PosixRuntimeDirProblem().c_str());
        return kExitNoAgent;
    }
    if (fd < 0 && !account.empty()) {
        fprintf(stderr,
                "vornaagent: no agent is running for the account %s (at %s); start them "
                "with \"/etc/init.d/vornaagent start\"\n",
                account.c_str(), PosixControlSocketPath().c_str());
        return kExitNoAgent;
    }
    if (fd < 0) {
        fprintf(stderr, "vornaagent: no agent is running; start one with \"systemctl --user start "
                        "vornaagent\" or \"vornaagent run\"\n");
        return kExitNoAgent;
    }
    std::string line = request + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        close(fd);
        fprintf(stderr, "vornaagent: the agent did not take the request\n");
        return kExitFailed;
    }
    std::string answer;
    uint64_t deadline = PosixMonotonicMs() + kAnswerTimeoutMs;
    for (;;) {
        uint64_t now = PosixMonotonicMs();
        if (now >= deadline) break;
        pollfd one = {fd, POLLIN, 0};
        if (poll(&one, 1, static_cast<int>(deadline - now)) <= 0) continue;
        char chunk[4096];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(chunk, static_cast<size_t>(n));
        if (answer.size() > 65536) break;
    }
    close(fd);
    size_t newline = answer.find('\n');
    if (newline == std::string::npos || newline == 0 || newline > 3) {
        fprintf(stderr, "vornaagent: no answer from the agent\n");
        return kExitFailed;
    }
    int code = atoi(answer.substr(0, newline).c_str());
    std::string text = answer.substr(newline + 1);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty()) fprintf(code == 0 ? stdout : stderr, "%s\n", text.c_str());
    return code;
}

bool ReadPassword(std::string* password) {
    bool terminal = isatty(STDIN_FILENO);
    termios saved;
    if (terminal) {
        fprintf(stderr, "Password: ");
        fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    password->clear();
    bool ok = true;
    for (;;) {
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        if (password->size() >= 256)
            ok = false;
        else
            password->push_back(c);
    }
    if (!password->empty() && password->back() == '\r') password->pop_back();
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fprintf(stderr, "\n");
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    CliCommand command = ParseCommandLine(argc, argv);
    if (!command.account.empty()) PosixUseSystemDir(command.runtimeDir, command.account);
    switch (command.action) {
        case kCliUsage: return Usage(command.text);
        case kCliHelp: fputs(command.text.c_str(), stdout); return kExitOk;
        case kCliRun: return Run(command, argv[0]);
        case kCliRequest: return Ask(command.request, command.account);
        case kCliLogin: break;
    }
    std::string password, why;
    if (!ReadPassword(&password)) return Usage("login: the password is too long");
    std::string request = LoginRequest(command, password, &why);
    return request.empty() ? Usage(why) : Ask(request, command.account);
}
