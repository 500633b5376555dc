#include "tests/fuzz/fuzz_agent.h"

#include "crypto/field_crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "session/engine.h"
#include "session/frames.h"

namespace fuzz {

namespace {

// The 2048-bit key and a password block of its exact size, made once: parsing a key per input
// would cost more than the input itself.
FieldKey* key2048 = nullptr;
uint8_t* savedBlock2048 = nullptr;

void SwitchToKey2048() {
    if (key2048 == nullptr) {
        std::ifstream file(std::string(VORNA_FIXTURES_DIR) + "/test_key_2048.pub.pem");
        std::stringstream pem;
        pem << file.rdbuf();
        Check(LoadServerKey(pem.str().c_str()), "the 2048-bit fixture key loads");
        key2048 = gAgent.serverKey;
        savedBlock2048 = static_cast<uint8_t*>(malloc(FieldKeyBytes(key2048)));
    }
    gAgent.serverKey = key2048;
    gAgent.blockSize = FieldKeyBytes(key2048);
    memset(savedBlock2048, 0, gAgent.blockSize);
    gAgent.savedPasswordBlock = savedBlock2048;
}

bool Terminated(const char* field, size_t size) { return memchr(field, '\0', size) != nullptr; }

}  // namespace

void StartAgent(bool useKey2048) {
    fake::Reset();
    if (useKey2048) SwitchToKey2048();
    // The agent allocates max(1024, 4 * blockSize); the fake's buffer must be no larger, or an
    // overflow into the slack would go unseen.
    Check(4 * gAgent.blockSize <= 1024, "ioBuffer holds a request");
}

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr,
            "\n*** invariant broken: %s\n    connState=%d ioLength=%d ioExpected=%d "
            "sessionActive=%d linkConfirmed=%d pingCounter=%d\n",
            what, gAgent.connState, gAgent.ioLength, gAgent.ioExpected, gAgent.sessionActive,
            gAgent.linkConfirmed, gAgent.pingCounter);
    abort();
}

void Check(bool ok, const std::string& what) { Check(ok, what.c_str()); }

void CheckTrayTips(size_t from) {
    for (size_t i = from; i < fake::world.tray.size(); i++) {
        const fake::TrayCall& call = fake::world.tray[i];
        Check(!call.hasTip || call.tip.size() <= 63,
              "tooltip of at most 63 characters, got " + std::to_string(call.tip.size()));
    }
}

void CheckAgentState() {
    Check(gAgent.connState >= kIdle && gAgent.connState <= kInfoReading, "connState in 0..12");
    Check(Terminated(gAgent.sessionId, sizeof gAgent.sessionId), "sessionId NUL-terminated");
    Check(Terminated(gAgent.login, sizeof gAgent.login), "login NUL-terminated");
    Check(Terminated(gAgent.password, sizeof gAgent.password), "password NUL-terminated");
    Check(Terminated(gAgent.view.tooltip, sizeof gAgent.view.tooltip), "tray tip NUL-terminated");
    Check(gAgent.limitState >= kLimitNormal && gAgent.limitState <= kLimitBlocked,
          "limitState in 0..2");
    Check(gAgent.retryDelay >= 60000 && gAgent.retryDelay <= 1200000,
          "retryDelay within 60 s .. 20 min");
    Check(!gAgent.sessionActive || gAgent.sessionId[0] != '\0', "an active session has an id");
    // The engine's reading states keep room for the reply's terminating NUL.
    bool reading = gAgent.connState == kLogonReading || gAgent.connState == kLogoutReading ||
                   gAgent.connState == kPingReading || gAgent.connState == kInfoReading;
    if (reading) {
        Check(gAgent.ioLength >= 0 && gAgent.ioLength <= gAgent.ioExpected - 1,
              "reply within ioExpected - 1 bytes");
        Check(gAgent.ioBuffer[gAgent.ioLength] == '\0', "reply NUL-terminated");
    } else {
        Check(gAgent.ioLength >= 0 && gAgent.ioLength <= 4 * gAgent.blockSize,
              "ioLength within the request");
    }
}

std::string ItemText(fake::PlatWindow window, int id) {
    auto it = fake::world.texts.find({window, id});
    return it == fake::world.texts.end() ? std::string() : it->second;
}

}  // namespace fuzz
