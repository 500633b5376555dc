// The agent's one state record and the patchable server configuration block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

typedef struct rsa_st RSA;

// Widths of the configuration block, markers included (the marker's NUL is part of it).
const size_t kAddrMarkerSize = 15;
const size_t kAddressSize = 31;
const size_t kPortMarkerSize = 15;
const size_t kPortSize = 21;
const size_t kKeyMarkerSize = 14;
const size_t kKeySize = 1025;
const size_t kEndMarkerSize = 18;

// Laid out contiguously in the executable's initialised data; a deployment tool finds each
// field behind its marker and rewrites it in a copy of the file.
struct ConfigBlock {
    char addrMarker[kAddrMarkerSize];
    char serverAddress[kAddressSize];
    char portMarker[kPortMarkerSize];
    char serverPort[kPortSize];
    char keyMarker[kKeyMarkerSize];
    char serverKeyPem[kKeySize];
    char endMarker[kEndMarkerSize];
};
static_assert(sizeof(ConfigBlock) == 15 + 31 + 15 + 21 + 14 + 1025 + 18, "no padding");

extern ConfigBlock gConfig;

enum LimitState { kLimitNormal = 0, kLimitNear = 1, kLimitBlocked = 2 };

const size_t kLoginSize = 64;
const size_t kPasswordSize = 64;
const size_t kSessionIdSize = 30;

struct AgentState {
    // Connection and request
    int connState;
    PlatSocket socketHandle;
    uint8_t* ioBuffer;
    int ioLength;
    int ioExpected;
    // Encryption
    RSA* serverKey;
    int blockSize;
    uint8_t* savedPasswordBlock;
    bool useSavedPassword;
    // Session
    char login[kLoginSize];
    char password[kPasswordSize];
    char sessionId[kSessionIdSize];
    bool sessionActive;
    bool linkConfirmed;
    int pingCounter;
    uint32_t pingInterval;
    int timeoutRetries;
    uint32_t retryDelay;
    bool autoReconnect;
    bool hoverPingGuard;
    int limitState;
    // User interface and process
    PlatWindow mainWindow;
    PlatWindow statsWindow;
    bool mainWindowVisible;
    bool quitAfterLogout;
    bool runAtLogon;
    bool autorunLocked;
    bool debugEnabled;
    bool trayIconPending;
    bool trayIconAdded;     // the shell accepted the icon; until then updates keep adding it
    bool sessionEndLogoff;  // the logoff at the end of the Windows session has run
    PlatIcon iconDisconnected;
    PlatIcon iconProgress;
    PlatIcon iconConnected;
    PlatIcon iconError;
    PlatIcon iconLimit;
    PlatIcon iconBlocked;
    // What the tray shows now, so that it can be added again after Explorer restarts.
    PlatIcon trayIcon;
    char trayTip[64];
};

extern AgentState gAgent;

// Zeroes the record; retryDelay and trayIconPending get their start values, no socket is open.
void ResetAgentState();

// printf-style debug line (1023 characters at most), only while debugEnabled.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
