#include "app/support_log.h"

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "crypto/field_crypto.h"
#include "vorna_version.h"

namespace {

const char kLogOption[] = "--log";
const char kStartVersion[] = "Версия: %s";
const char kStartServer[] = "Сервер: %s, порт %s";
const char kStartKey[] = "Ключ сервера: RSA %d бит, SHA-256 %s";
const char kStartKeyUnknown[] = "Ключ сервера: не загружен";

}  // namespace

const char* LogOptionPath(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], kLogOption) == 0) return argv[i + 1];
    }
    return nullptr;
}

void PrintStartLines() {
    DebugPrint(kStartVersion, VORNA_VERSION_TEXT);
    // Each field as the agent connects with it.
    char address[kAddressSize], port[kPortSize + 1];
    ServerEndpoint(address, port);
    DebugPrint(kStartServer, address, port);
    uint8_t digest[kFingerprintSize];
    if (gAgent.serverKey != nullptr && FieldKeyFingerprint(gAgent.serverKey, digest)) {
        char fingerprint[2 * kFingerprintSize + 1];
        HexEncode(digest, kFingerprintSize, fingerprint);
        DebugPrint(kStartKey, FieldKeyBits(gAgent.serverKey), fingerprint);
    } else {
        DebugPrint(kStartKeyUnknown);
    }
}
