// The logoff while Windows ends the user's session: a blocking exchange on the UI thread,
// bounded as a whole by the request timeout so that Windows never finds the agent hung.
// The tray is left alone meanwhile: each update is a call into the shell, which can block for
// seconds while it is busy ending the session, and would starve the LOGOUT or the answer.
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
#include "session/engine.h"
#include "session/frames.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

// Milliseconds left until `deadline`, 0 once it has passed (the clock may wrap).
uint32_t Remaining(uint32_t deadline) {
    int32_t left = static_cast<int32_t>(deadline - PlatNowMs());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

bool SendFrame(uint32_t deadline) {
    while (gAgent.ioLength < gAgent.ioExpected) {
        uint32_t left = Remaining(deadline);
        if (left == 0) return false;
        int sent = PlatSocketSendWait(gAgent.socketHandle, gAgent.ioBuffer + gAgent.ioLength,
                                      gAgent.ioExpected - gAgent.ioLength, left);
        if (sent <= 0) return false;
        gAgent.ioLength += sent;
    }
    return true;
}

void ReceiveAnswer(uint32_t deadline) {
    // The answer is not examined; room is kept for a terminating NUL all the same.
    while (gAgent.ioLength < gAgent.ioExpected - 1) {
        uint32_t left = Remaining(deadline);
        if (left == 0) return;
        int received = PlatSocketRecvWait(gAgent.socketHandle, gAgent.ioBuffer + gAgent.ioLength,
                                          gAgent.ioExpected - 1 - gAgent.ioLength, left);
        if (received <= 0) return;
        gAgent.ioLength += received;
    }
}

}  // namespace

void LogoutAtSessionEnd() {
    if (!gAgent.sessionActive) return;
    uint32_t deadline = PlatNowMs() + kRequestTimeoutMs;
    gAgent.mainWindowVisible = false;
    PlatShowWindow(kWindowLogon, false);
    ComposeLogout();
    PlatKillTimer(kTimerRequest);
    PlatSocketClose(gAgent.socketHandle);
    gAgent.socketHandle = PlatSocketOpenBlocking();
    gAgent.sessionEndLogoff = true;
    gAgent.connState = kLogoutConnecting;
    char address[kAddressSize], port[kPortSize + 1];
    ServerEndpoint(address, port);
    if (gAgent.socketHandle == kNoSocket ||
        PlatSocketConnectWait(gAgent.socketHandle, address, atoi(port), Remaining(deadline)) != 0) {
        return;
    }
    gAgent.connState = kLogoutWriting;
    gAgent.ioExpected = 4 * gAgent.blockSize;
    gAgent.ioLength = 0;
    if (!SendFrame(deadline)) return;
    memset(gAgent.ioBuffer, 0, gAgent.ioExpected);
    gAgent.connState = kLogoutReading;
    gAgent.ioLength = 0;
    ReceiveAnswer(deadline);
}

void OnEndSession(bool ending, bool closeApp) {
    if (ending) {
        // An installer wants the program file replaced (Restart Manager): the Windows session
        // goes on, so the agent, logged off by now, makes way by ending itself.
        if (closeApp) PlatPostQuit(0);
        return;
    }
    if (!gAgent.sessionEndLogoff) return;
    // Another program kept the session alive: come back disconnected and usable, so that the
    // reconnect timer or the user can log on again.
    gAgent.sessionEndLogoff = false;
    PlatSocketClose(gAgent.socketHandle);
    gAgent.socketHandle = kNoSocket;
    gAgent.connState = kIdle;
    CloseSession(kSessionOver);
    TrayStatus(kIconDisconnected, kTextDisconnected);
    ShowStatsText(kTextDisconnected);
}
