// vornaagent: the agent itself (`run`) and the commands that talk to the running agent over its
// control socket. Compiled without the CP1251 execution charset: its own texts are UTF-8.
#include <poll.h>
#include <sys/socket.h>
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
#ifdef VORNA_TRAY
#include "platform/linux/tray_linux.h"
#endif

namespace {

const uint32_t kAnswerTimeoutMs = 120000;

int Usage(const std::string& why) {
    fprintf(stderr, "vornaagent: %s (see vornaagent --help)\n", why.c_str());
    return kExitUsage;
}

// What has to hold before the core starts: the site, the policy, a private runtime folder, the
// lock and the control socket (without which nobody could log on or stop the agent).
bool Prepare(const CliRun& run) {
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
    fflush(stdout);
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
    // Another agent holds the lock: the core says that one runs already.
    if (lock == kMutexExisted) return true;
    if (!PosixControlStart()) return false;
#ifdef VORNA_TRAY
    LinuxTrayStart();
#endif
    return true;
}

int Run(const CliRun& run, const char* program) {
    if (!Prepare(run)) return kExitUsage;
    std::vector<std::string> words = run.AgentArguments(program);
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

int Ask(const std::string& request) {
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
    switch (command.action) {
        case kCliUsage: return Usage(command.text);
        case kCliHelp: fputs(command.text.c_str(), stdout); return kExitOk;
        case kCliRun: return Run(command.run, argv[0]);
        case kCliRequest: return Ask(command.request);
        case kCliLogin: break;
    }
    std::string password, why;
    if (!ReadPassword(&password)) return Usage("login: the password is too long");
    std::string request = LoginRequest(command, password, &why);
    return request.empty() ? Usage(why) : Ask(request);
}
