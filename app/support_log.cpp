#include "app/support_log.h"

#include <cstdio>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "core/agent_state.h"
#include "core/text.h"
#include "vorna_version.h"

namespace {

const char kLogOption[] = "--log";
const char kStartVersion[] = "Версия: %s";
const char kStartServer[] = "Сервер: %s, порт %s";
const char kStartKey[] = "Ключ сервера: RSA %d бит, SHA-256 %s";
const char kStartKeyUnknown[] = "Ключ сервера: не загружен";

// SHA-256 of the DER SubjectPublicKeyInfo, in lower-case hex.
bool KeyFingerprint(RSA* key, char* hex, size_t size) {
    unsigned char* der = nullptr;
    const int length = i2d_RSA_PUBKEY(key, &der);
    if (length <= 0) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool ok = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength,
                               EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok || size < 2 * digestLength + 1) return false;
    HexEncode(digest, digestLength, hex);
    return true;
}

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
    char fingerprint[2 * EVP_MAX_MD_SIZE + 1];
    if (gAgent.serverKey != nullptr &&
        KeyFingerprint(gAgent.serverKey, fingerprint, sizeof fingerprint)) {
        DebugPrint(kStartKey, RSA_bits(gAgent.serverKey), fingerprint);
    } else {
        DebugPrint(kStartKeyUnknown);
    }
}
