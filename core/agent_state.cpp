#include "core/agent_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "core/timings.h"

// The built-in block: a deployment tool rewrites these fields per site in a copy of the exe.
ConfigBlock gConfig = {
    "vorna_zep_addr",
    "10.0.0.1",
    "vorna_zep_port",
    "800",
    "vorna_zep_key",
    "-----BEGIN PUBLIC KEY-----\n"
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDDC57ODxd7haWmRUQCuJUM4I0J\n"
    "/pVesDqq/ztdb3P2bKz321A/vz8kFOZLTU/FB4mAS1TSXPAMHIkO9ekaqyD3giO1\n"
    "s+dN9jdmKvAVotHta1wSXBk63P38vXvyBw6b4sivDNp+cLQ/9gy8YT68yhzEu4eC\n"
    "t0+sKt4cfEA4S6NR7wIDAQAB\n"
    "-----END PUBLIC KEY-----",
    "vorna_zep_JUSTUSR",
};

AgentState gAgent;

void ResetAgentState() {
    memset(&gAgent, 0, sizeof gAgent);
    gAgent.socketHandle = kNoSocket;
    gAgent.retryDelay = kRetryDelayStart;
    gAgent.trayIconPending = true;
    gAgent.notifyEnabled = true;
}

void DebugPrint(const char* format, ...) {
    if (!gAgent.debugEnabled) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    char shown[4 * sizeof line];
    EscapeControls(shown, sizeof shown, line);
    PlatDebugWrite(shown);
}

void ServerEndpoint(char* address, char* port) {
    CopyBounded(address, kAddressSize, gConfig.serverAddress);
    CopyBounded(port, kPortSize + 1, gConfig.serverPort);
}

void CloseSession(SessionClose how) {
    gAgent.sessionActive = false;
    gAgent.linkConfirmed = false;
    if (how != kSessionLost) gAgent.sessionAtServer = false;
    if (how == kSessionOver) memset(gAgent.sessionId, 0, sizeof gAgent.sessionId);
}
