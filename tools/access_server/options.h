// The server's settings, from the command line and from scenario files (same names).
#pragma once

#include <string>
#include <vector>

#include "tools/access_server/session.h"

struct ServerOptions {
    // Key
    std::string keyFile;
    int generateBits = 0;  // 0: 1024 unless a key file is given
    std::string saveKeyFile;
    std::string writePublicFile;
    bool keysOnly = false;
    // Network and output
    std::string bindAddress = "127.0.0.1";
    bool allowRemote = false;
    int port = 0;
    std::string portFile;
    std::string logFile;  // "-": standard output
    int readTimeoutMs = 5000;
    int controlPort = 0;  // 0: no control port
    bool help = false;
    bool version = false;
    // What the server answers
    ServerState state = MakeServerState();
};

struct OptionInfo {
    const char* name;      // without the leading dashes
    const char* argument;  // null for a flag
};

// Every option the command line takes, for the manual and its test.
std::vector<OptionInfo> ServerOptionList();

// One setting by name ("port", "reply", ...); flags take "" (or yes/true/1 from a scenario).
bool ApplySetting(ServerOptions* options, const std::string& name, const std::string& value,
                  std::string* error);

bool ParseCommandLine(int argc, const char* const* argv, ServerOptions* options,
                      std::string* error);

// The text of a scenario file: "name = value" lines, '#' comment lines, plus the keys
// "reply.VERB" and "account.LOGIN.FIELD". Errors name the line.
bool ApplyScenario(const std::string& text, ServerOptions* options, std::string* error);

// The tester's manual printed by --help.
const char* ServerHelpText();
