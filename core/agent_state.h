// The agent's one state record and the patchable server configuration block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/account_view.h"
#include "platform/platform.h"

struct FieldKey;  // crypto/field_crypto.h

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

// The server as the block names it now. A tool or a damaged file may fill a field to its last
// byte: each is copied out bounded (`address` holds kAddressSize bytes, `port` kPortSize + 1),
// never running on into the next field.
void ServerEndpoint(char* address, char* port);

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
    FieldKey* serverKey;
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
    // Reacting to resume and network changes (session/world.cpp)
    bool worldEpisode;          // a re-check is under way since the last event
    bool worldSeenEvent;        // worldLastEventMs is set
    uint32_t worldLastEventMs;  // for coalescing a burst of events
    uint32_t worldDeadlineMs;   // no retry starts after this
    uint32_t worldNextDelay;    // the next retry's delay; doubles each time
    bool worldRetryPending;     // kTimerWorld is armed for that retry
    int worldRequest;           // which request in flight answers the re-check, if any
    bool worldSawEnd;           // that PING was answered '0'
    bool logonBackoff;          // the last logon was refused '0': only timer 5 retries
    bool worldChecked;          // worldLastCheckMs is set
    uint32_t worldLastCheckMs;  // when the last check for an event started
    uint32_t worldGapMs;        // the least time between two such checks; grows in a storm
    bool worldHeld;             // an event came too soon after a check: one more check is due
    bool worldLogoutTried;      // the stale session's LOGOUT went out before this logon
    bool sessionAtServer;       // the server may still hold our last session (no LOGOUT yet)
    // Notifications
    bool notifyEnabled;
    int accountShown;  // AccountShown: the account as the user last saw it
    int shownLimit;    // limitState at the last PING answered '1'
    // User interface and process
    AccountView view;                  // what the user is shown; front ends read it
    char formPassword[kPasswordSize];  // the password of a front end without a logon window
    bool mainWindowVisible;
    bool statsWindowVisible;
    bool statsTellsState;  // the statistics text tells of a failure, not the server's words
    bool quitAfterLogout;
    bool runAtLogon;
    bool autorunLocked;
    bool debugEnabled;
    bool trayIconPending;
    bool trayIconAdded;     // the shell accepted the icon; until then updates keep adding it
    bool sessionEndLogoff;  // the logoff at the end of the Windows session has run
    bool exitWhenIdle;      // a stop request: quit as soon as no request is under way
    // Settings
    bool rememberForbidden;   // the machine's policy: credentials are never stored
    bool settingsSaveFailed;  // the last save of the settings did not reach the store
};

extern AgentState gAgent;

// How a session stops counting as open: lost (a network error: the id is kept, and the server
// may still hold it), ended by the server (the id is kept), or over (logged off, refused, or a
// new logon starting: the id is zeroed).
enum SessionClose { kSessionLost, kSessionEndedByServer, kSessionOver };
void CloseSession(SessionClose how);

// Zeroes the record; retryDelay and trayIconPending get their start values, no socket is open.
void ResetAgentState();

// printf-style debug line (1023 characters at most), only while debugEnabled.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
