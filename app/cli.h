// The command line of the agents without windows: `run` and its options, and the commands that
// talk to a running agent, parsed into what the front end does next. Portable: the front end
// reads the password, opens the control socket and starts the agent.
#pragma once

#include <string>
#include <vector>

enum CliAction {
    kCliUsage,    // a bad command line: `text` says why
    kCliHelp,     // print `text` (the help or the version) and exit 0
    kCliRun,      // run the agent with `run`
    kCliRequest,  // send `request` to the running agent
    kCliLogin,    // read the password, then send `request` + password + remember
};

struct CliRun {
    bool debug = false;
    bool domain = false;
    std::string address;  // empty: the configured one
    std::string config;   // empty: the default site file, if there is one
    std::string log;
    std::string uci;  // a router account's agent: its UCI file (with the command's account)
    // The arguments the core's own options pass reads (--debug first, as it looks for it there).
    std::vector<std::string> AgentArguments(const std::string& program) const;
};

struct CliCommand {
    CliAction action = kCliUsage;
    std::string text;
    CliRun run;
    std::string request;  // tab-separated, as the control socket takes it
    bool remember = false;
    // A router account's agent (`--account NAME`, `--runtime-dir DIR`): empty for the desktop's.
    std::string account;
    std::string runtimeDir;
};

// Where a router account's agent keeps its socket when no --runtime-dir is given.
const char kSystemRuntimeDir[] = "/var/run/vornaagent";

CliCommand ParseCommandLine(int argc, char** argv);
// The request line of a logon with the password read; empty (and `why` set) when the login or
// the password cannot travel (control characters).
std::string LoginRequest(const CliCommand& command, const std::string& password, std::string* why);
