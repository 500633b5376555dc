// vorna_access_server: the agent's counterpart for tests, demos and admins.
#include <cstdio>
#include <string>

#include "tools/access_server/net_server.h"
#include "tools/access_server/options.h"
#include "tools/common/files.h"
#include "tools/common/rsa_keys.h"
#include "tools/common/tool_cli.h"

namespace {

int Fail(const std::string& message, int code) {
    fprintf(stderr, "vorna_access_server: %s\n", message.c_str());
    return code;
}

// The key to serve with, read or generated, and the files asked for written.
PkeyPtr PrepareKey(const ServerOptions& options, std::string* error) {
    PkeyPtr key;
    if (!options.keyFile.empty()) {
        std::string pem;
        if (!ReadWholeFile(options.keyFile, &pem, error, 1 << 20)) return nullptr;
        key = ReadRsaPrivateKeyPem(pem, error);
        if (!key) {
            *error = options.keyFile + ": " + *error;
            return nullptr;
        }
        if (KeyBits(key.get()) < kMinKeyBits) {
            *error = options.keyFile + ": " + std::to_string(KeyBits(key.get())) +
                     "-bit key; the agent needs at least " + std::to_string(kMinKeyBits);
            return nullptr;
        }
    } else {
        key = GenerateRsaKey(options.generateBits ? options.generateBits : 1024, error);
        if (!key) return nullptr;
    }
    if (!options.saveKeyFile.empty() &&
        !WriteFileAtomically(options.saveKeyFile, PrivateKeyPem(key.get()), error)) {
        return nullptr;
    }
    if (!options.writePublicFile.empty() &&
        !WriteFileAtomically(options.writePublicFile, ConfigPublicKeyPem(key.get()), error)) {
        return nullptr;
    }
    return key;
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::string error;
    if (!ParseCommandLine(argc, argv, &options, &error)) {
        return Fail(error + "\n(vorna_access_server --help shows every option)", kExitUsage);
    }
    if (options.help) {
        fputs(ServerHelpText(), stdout);
        return 0;
    }
    if (options.version) {
        PrintToolVersion("vorna_access_server");
        return 0;
    }
    if (!options.keyFile.empty() && options.generateBits) {
        return Fail("give either --key or --generate-key, not both", 1);
    }
    PkeyPtr key = PrepareKey(options, &error);
    if (!key) return Fail(error, 1);
    if (options.keysOnly) return 0;

    FILE* log = nullptr;
    if (options.logFile == "-") {
        log = stdout;
    } else if (!options.logFile.empty()) {
        log = fopen(options.logFile.c_str(), "w");
        if (!log) return Fail(options.logFile + ": cannot open the log for writing", 1);
    }
    const int code = RunServer(&options, key.get(), log);
    if (log && log != stdout) fclose(log);
    return code;
}
