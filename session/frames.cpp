#include "session/frames.h"

#include <cstring>

#include "core/agent_state.h"
#include "crypto/field_crypto.h"
#include "vorna_version.h"

// The server knows the client by this code: it stays "253702" and must follow the version.
constexpr char kClientVersionCode[] = "253702";

namespace {
constexpr bool SameText(const char* a, const char* b) {
    return *a == *b && (*a == '\0' || SameText(a + 1, b + 1));
}
}  // namespace
static_assert(SameText(kClientVersionCode, VORNA_VERSION_CODE),
              "the LOGON client version code no longer agrees with the project version");

void EncryptField(const char* text, uint8_t* destination) {
    const bool sealed = EncryptWithFieldKey(
        gAgent.serverKey, reinterpret_cast<const uint8_t*>(text), strlen(text), destination);
    // A field the key cannot carry (or no random pad) must not leave stale bytes of an earlier
    // request behind.
    if (!sealed) memset(destination, 0, gAgent.blockSize);
}

void ComposeRequest(const char* verb, const char* field2, const char* field3, const char* field4) {
    const int size = gAgent.blockSize;
    uint8_t* frame = gAgent.ioBuffer;
    EncryptField(verb, frame);
    EncryptField(field2, frame + size);
    uint8_t* third = frame + 2 * size;
    if (strcmp(verb, "LOGON") != 0) {
        EncryptField(field3, third);
    } else if (gAgent.useSavedPassword) {
        memcpy(third, gAgent.savedPasswordBlock, size);
    } else {
        EncryptField(field3, third);
        memcpy(gAgent.savedPasswordBlock, third, size);
    }
    EncryptField(field4, frame + 3 * size);
}

bool LoadServerKey(const char* pem) {
    // The field in the executable may have been filled to its last byte by a tool.
    char text[kKeySize + 1];
    size_t length = strnlen(pem, kKeySize);
    memcpy(text, pem, length);
    text[length] = '\0';
    FieldKey* key = ReadFieldKey(text);
    if (key == nullptr) return false;
    gAgent.serverKey = key;
    gAgent.blockSize = FieldKeyBytes(key);
    return true;
}

void ComposeLogout() { ComposeRequest("LOGOUT", gAgent.login, gAgent.sessionId, "VOID4"); }
