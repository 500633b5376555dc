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

#include "app/remote.h"
#include "platform/events.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/site_config.h"
#include "tools/common/ipv4.h"
#include "vorna_version.h"

namespace {

const char kHelp[] =
    "Usage: vornaagent COMMAND [OPTIONS]\n"
    "\n"
    "Logs this workstation's user on to the site's network access server and keeps the\n"
    "session alive.\n"
    "\n"
    "Commands:\n"
    "  run [--debug] [--address A.B.C.D] [--domain] [--config FILE] [--log FILE]\n"
    "                        the agent itself, in the foreground (what the systemd unit runs)\n"
    "  login [LOGIN] [--remember]\n"
    "                        log on: the password is read from the terminal without echo, or\n"
    "                        from standard input when that is not a terminal\n"
    "  logout                log off (the Disconnect command)\n"
    "  status [--json]       the state, the tooltip (balance, session cost) and the statistics\n"
    "  info                  ask the server for the statistics and print them\n"
    "  autostart on|off      start the agent at logon, or not\n"
    "  quit                  exit the agent: with a session open and no request under way it\n"
    "                        logs off first; with a request under way it exits once that\n"
    "                        request has ended, without logging off\n"
    "\n"
    "Options of run:\n"
    "  --debug               debug output on standard output\n"
    "  --address A.B.C.D     the access server's address instead of the configured one\n"
    "  --domain              keep the start at logon off (domain deployments)\n"
    "  --config FILE         the site configuration file instead of /etc/vornaagent/site.conf\n"
    "  --log FILE            the debug lines also appended to FILE (UTF-8; past 1 MB it moves\n"
    "                        to FILE.1)\n"
    "\n"
    "Exit codes:\n"
    "  0  done (run: the agent ended normally, or another agent already runs)\n"
    "  1  bad command line, bad configuration or key, or the agent could not start\n"
    "  2  the agent refused or the request failed; the agent's text says why\n"
    "  3  no agent is running\n";

const uint32_t kAnswerTimeoutMs = 120000;

int Usage(const std::string& why) {
    fprintf(stderr, "vornaagent: %s (see vornaagent --help)\n", why.c_str());
    return kExitUsage;
}

int Run(int argc, char** argv, char* program) {
    bool debug = false, domain = false;
    const char* address = nullptr;
    const char* config = nullptr;
    const char* log = nullptr;
    for (int i = 0; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--debug") {
            debug = true;
        } else if (option == "--domain") {
            domain = true;
        } else if (option == "--address" || option == "--config" || option == "--log") {
            if (i + 1 >= argc) return Usage(option + " needs a value");
            const char*& value = option == "--address"  ? address
                                 : option == "--config" ? config
                                                        : log;
            value = argv[++i];
        } else {
            return Usage("run: unknown argument \"" + option + "\"");
        }
    }
    if (address && !IsServerAddress(address))
        return Usage("--address needs A.B.C.D (not 0.0.0.0 or 255.255.255.255)");
    std::string source = "the block built into the program";
    std::string path = config ? config : kSiteConfigPath;
    if (config || access(path.c_str(), F_OK) == 0) {
        std::string error;
        if (!LoadSiteConfig(path, &error)) {
            fprintf(stderr, "vornaagent: bad configuration: %s\n", error.c_str());
            return kExitUsage;
        }
        source = path;
    }
    // The core reads --debug among its first two arguments; it goes first.
    std::vector<char*> agentArgs = {program};
    static char debugWord[] = "--debug", domainWord[] = "--domain", addressWord[] = "--address",
                logWord[] = "--log";
    if (debug) agentArgs.push_back(debugWord);
    if (domain) agentArgs.push_back(domainWord);
    if (address) {
        agentArgs.push_back(addressWord);
        agentArgs.push_back(const_cast<char*>(address));
    }
    if (log) {
        agentArgs.push_back(logWord);
        agentArgs.push_back(const_cast<char*>(log));
    }
    agentArgs.push_back(nullptr);
    if (debug) {
        printf("Configuration: %s\n", source.c_str());
        fflush(stdout);
    }
    std::string policyError;
    if (!PosixLoadPolicy(kPolicyPath, &policyError)) {
        fprintf(stderr, "vornaagent: bad machine policy: %s\n", policyError.c_str());
        return kExitUsage;
    }
    if (PosixRuntimeDir().empty()) {
        fprintf(stderr, "vornaagent: %s\n", PosixRuntimeDirProblem().c_str());
        return kExitUsage;
    }
    switch (PosixTakeInstanceLock()) {
        case kMutexFailed:
            fprintf(stderr, "vornaagent: the lock file in %s cannot be used: %s\n",
                    PosixRuntimeDir().c_str(), strerror(errno));
            return kExitUsage;
        case kMutexCreated:
            // Without its control socket nobody could log on or stop it: no agent at all.
            if (!PosixControlStart()) return kExitUsage;
            break;
        case kMutexExisted: break;  // the core says that one runs already
    }
    return AgentMain(static_cast<int>(agentArgs.size() - 1), agentArgs.data());
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

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

int Login(int argc, char** argv) {
    std::string login;
    bool remember = false;
    for (int i = 0; i < argc; i++) {
        std::string word = argv[i];
        if (word == "--remember") {
            remember = true;
        } else if (word.size() > 0 && word[0] == '-') {
            return Usage("login: unknown option \"" + word + "\"");
        } else if (login.empty()) {
            login = word;
        } else {
            return Usage("login takes one LOGIN");
        }
    }
    if (HasControlCharacter(login)) return Usage("login: the login has control characters");
    std::string password;
    if (!ReadPassword(&password)) return Usage("login: the password is too long");
    if (HasControlCharacter(password)) return Usage("login: the password has control characters");
    return Ask("login\t" + login + "\t" + password + "\t" + (remember ? "1" : "0"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command");
    std::string command = argv[1];
    int rest = argc - 2;
    char** args = argv + 2;
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kHelp, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        printf("vornaagent %s\n", VORNA_VERSION_SHOWN);
        return kExitOk;
    }
    for (int i = 0; i < rest; i++)
        if (strcmp(args[i], "-h") == 0 || strcmp(args[i], "--help") == 0) {
            fputs(kHelp, stdout);
            return kExitOk;
        }
    if (command == "run") return Run(rest, args, argv[0]);
    if (command == "login") return Login(rest, args);
    if (command == "status") {
        if (rest == 0) return Ask("status");
        if (rest == 1 && strcmp(args[0], "--json") == 0) return Ask("status\tjson");
        return Usage("status takes only --json");
    }
    if (command == "autostart") {
        if (rest == 1 && (strcmp(args[0], "on") == 0 || strcmp(args[0], "off") == 0))
            return Ask(std::string("autostart\t") + args[0]);
        return Usage("autostart takes on or off");
    }
    if (command == "logout" || command == "info" || command == "quit") {
        if (rest != 0) return Usage(command + " takes no arguments");
        return Ask(command);
    }
    return Usage("unknown command \"" + command + "\"");
}
