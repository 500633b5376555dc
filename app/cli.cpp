#include "app/cli.h"

#include <cctype>
#include <cstring>

#include "core/ipv4.h"
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
    "  run --uci FILE --account NAME [--debug] [--runtime-dir DIR]\n"
    "                        a router's agent for the account section NAME of the UCI file\n"
    "                        (what /etc/init.d/vornaagent runs): it logs on at start with the\n"
    "                        file's login and password and stays logged on\n"
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
    "  --uci FILE            the router's UCI file (/etc/config/vornaagent): server, port and\n"
    "                        key of the agent section 'main', the account's login, password\n"
    "                        and device; mode 0600, the user's own\n"
    "\n"
    "Options of every command but autostart, for a router's account:\n"
    "  --account NAME        the agent of the account section NAME: its control socket is\n"
    "                        DIR/NAME.sock\n"
    "  --runtime-dir DIR     the folder of the socket and the lock (default /var/run/vornaagent,\n"
    "                        made with mode 0700)\n"
    "\n"
    "Exit codes:\n"
    "  0  done (run: the agent ended normally, or another agent already runs)\n"
    "  1  bad command line, bad configuration or key, or the agent could not start\n"
    "  2  the agent refused or the request failed; the agent's text says why\n"
    "  3  no agent is running\n";

CliCommand Usage(const std::string& why) {
    CliCommand command;
    command.text = why;
    return command;
}

CliCommand Request(const std::string& line) {
    CliCommand command;
    command.action = kCliRequest;
    command.request = line;
    return command;
}

CliCommand ParseRun(int argc, char** argv) {
    CliCommand command;
    CliRun& run = command.run;
    for (int i = 0; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--debug") {
            run.debug = true;
        } else if (option == "--domain") {
            run.domain = true;
        } else if (option == "--address" || option == "--config" || option == "--log" ||
                   option == "--uci") {
            if (i + 1 >= argc) return Usage(option + " needs a value");
            std::string& value = option == "--address"  ? run.address
                                 : option == "--config" ? run.config
                                 : option == "--uci"    ? run.uci
                                                        : run.log;
            value = argv[++i];
            if (value.empty()) return Usage(option + " needs a value");
        } else {
            return Usage("run: unknown argument \"" + option + "\"");
        }
    }
    if (!run.address.empty() && !IsServerAddress(run.address))
        return Usage("--address needs A.B.C.D (not 0.0.0.0 or 255.255.255.255)");
    // The UCI file names the server and the account; the desktop's options do not mix with it.
    if (!run.uci.empty() && (!run.config.empty() || !run.log.empty() || run.domain))
        return Usage("run: --uci does not go with --config, --log or --domain");
    command.action = kCliRun;
    return command;
}

CliCommand ParseLogin(int argc, char** argv) {
    CliCommand command;
    std::string login;
    for (int i = 0; i < argc; i++) {
        std::string word = argv[i];
        if (word == "--remember") {
            command.remember = true;
        } else if (!word.empty() && word[0] == '-') {
            return Usage("login: unknown option \"" + word + "\"");
        } else if (login.empty()) {
            login = word;
        } else {
            return Usage("login takes one LOGIN");
        }
    }
    command.action = kCliLogin;
    command.request = login;
    return command;
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// An account section's name as UCI writes it; it also names the socket, so never a path.
bool IsAccountName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '_' && c != '-') return false;
    return true;
}

// Takes --account and --runtime-dir out of a command's arguments into `command`; false with the
// reason in `command`.
bool TakeInstanceOptions(int argc, char** argv, std::vector<char*>* rest, CliCommand* command) {
    for (int i = 0; i < argc; i++) {
        std::string option = argv[i];
        if (option != "--account" && option != "--runtime-dir") {
            rest->push_back(argv[i]);
            continue;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            *command = Usage(option + " needs a value");
            return false;
        }
        std::string value = argv[++i];
        if (option == "--account" && !IsAccountName(value)) {
            *command = Usage("--account takes an account section's name (letters, digits, '_', "
                             "'-'; at most 32)");
            return false;
        }
        if (option == "--runtime-dir" && value[0] != '/') {
            *command = Usage("--runtime-dir takes an absolute path");
            return false;
        }
        (option == "--account" ? command->account : command->runtimeDir) = value;
    }
    if (!command->runtimeDir.empty() && command->account.empty()) {
        *command = Usage("--runtime-dir goes with --account");
        return false;
    }
    return true;
}

CliCommand ParseCommand(const std::string& name, int rest, char** args);

}  // namespace

std::vector<std::string> CliRun::AgentArguments(const std::string& program) const {
    std::vector<std::string> words = {program};
    if (debug) words.push_back("--debug");
    // A router's agent never starts at anyone's logon: its init script starts it.
    if (domain || !uci.empty()) words.push_back("--domain");
    if (!address.empty()) words.insert(words.end(), {"--address", address});
    if (!log.empty()) words.insert(words.end(), {"--log", log});
    return words;
}

CliCommand ParseCommandLine(int argc, char** argv) {
    if (argc < 2) return Usage("no command");
    std::string name = argv[1];
    int rest = argc - 2;
    char** args = argv + 2;
    CliCommand help;
    help.action = kCliHelp;
    help.text = kHelp;
    if (name == "-h" || name == "--help" || name == "help") return help;
    if (name == "--version") {
        help.text = std::string("vornaagent ") + VORNA_VERSION_SHOWN + "\n";
        return help;
    }
    for (int i = 0; i < rest; i++)
        if (strcmp(args[i], "-h") == 0 || strcmp(args[i], "--help") == 0) return help;
    CliCommand instance;
    std::vector<char*> words;
    if (!TakeInstanceOptions(rest, args, &words, &instance)) return instance;
    words.push_back(nullptr);
    CliCommand command = ParseCommand(name, static_cast<int>(words.size()) - 1, words.data());
    if (command.action == kCliUsage || command.action == kCliHelp) return command;
    command.account = instance.account;
    command.runtimeDir = instance.runtimeDir.empty() && !instance.account.empty()
                             ? kSystemRuntimeDir
                             : instance.runtimeDir;
    if (command.action == kCliRun && command.run.uci.empty() != command.account.empty())
        return Usage("run: --uci and --account go together");
    if (!command.account.empty() && command.request.rfind("autostart", 0) == 0)
        return Usage("autostart is not for a router's account (its init script starts it)");
    return command;
}

namespace {

CliCommand ParseCommand(const std::string& name, int rest, char** args) {
    if (name == "run") return ParseRun(rest, args);
    if (name == "login") return ParseLogin(rest, args);
    if (name == "status") {
        if (rest == 0) return Request("status");
        if (rest == 1 && strcmp(args[0], "--json") == 0) return Request("status\tjson");
        return Usage("status takes only --json");
    }
    if (name == "autostart") {
        if (rest == 1 && (strcmp(args[0], "on") == 0 || strcmp(args[0], "off") == 0))
            return Request(std::string("autostart\t") + args[0]);
        return Usage("autostart takes on or off");
    }
    if (name == "logout" || name == "info" || name == "quit") {
        if (rest != 0) return Usage(name + " takes no arguments");
        return Request(name);
    }
    return Usage("unknown command \"" + name + "\"");
}

}  // namespace

std::string LoginRequest(const CliCommand& command, const std::string& password, std::string* why) {
    if (HasControlCharacter(command.request)) {
        *why = "login: the login has control characters";
        return "";
    }
    if (HasControlCharacter(password)) {
        *why = "login: the password has control characters";
        return "";
    }
    return "login\t" + command.request + "\t" + password + "\t" + (command.remember ? "1" : "0");
}
