#include "session/engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
#include "session/cause.h"
#include "session/notices.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

void CloseCurrentSocket() {
    PlatSocketClose(gAgent.socketHandle);
    gAgent.socketHandle = kNoSocket;
}

bool IsReadingState(int state) {
    return state == kLogonReading || state == kLogoutReading || state == kPingReading ||
           state == kInfoReading;
}

void OnConnected() {
    switch (gAgent.connState) {
        case kLogonConnecting:
            gAgent.connState = kLogonWriting;
            TrayStatus(kIconNone, kTextConnecting);
            break;
        case kLogoutConnecting:
            gAgent.connState = kLogoutWriting;
            TrayStatus(kIconNone, kTextDisconnecting);
            break;
        case kPingConnecting:
            gAgent.connState = kPingWriting;
            TrayStatus(kIconNone, gAgent.linkConfirmed ? kTextConnected : kTextPasswordAccepted);
            break;
        case kInfoConnecting: gAgent.connState = kInfoWriting; break;
        default: NetworkError("sys error", kCauseReset); return;
    }
    gAgent.ioExpected = 4 * gAgent.blockSize;
    gAgent.ioLength = 0;
    PlatSocketWait(gAgent.socketHandle, kWaitWrite);
}

bool IsWritingState(int state) {
    return state == kLogonWriting || state == kLogoutWriting || state == kPingWriting ||
           state == kInfoWriting;
}

RequestEnd OnWritable() {
    // A write notification left over once the request is out would send the reply buffer.
    if (!IsWritingState(gAgent.connState)) return kRequestGoesOn;
    if (gAgent.connState == kPingWriting) gAgent.pingCounter++;
    // Windows posts the next write event only after a send has found the socket full, so what
    // is left after a partial send goes out from this event until the socket says so.
    while (gAgent.ioLength < gAgent.ioExpected) {
        int sent = PlatSocketSend(gAgent.socketHandle, gAgent.ioBuffer + gAgent.ioLength,
                                  gAgent.ioExpected - gAgent.ioLength);
        if (sent == kSendWouldBlock) return kRequestGoesOn;
        if (sent <= 0) {
            NetworkError("sent <=0 ", kCauseReset);
            return kRequestFailed;
        }
        gAgent.ioLength += sent;
    }
    memset(gAgent.ioBuffer, 0, gAgent.ioExpected);
    gAgent.connState++;  // writing -> reading of the same request
    gAgent.ioLength = 0;
    PlatSocketWait(gAgent.socketHandle, kWaitRead);
    return kRequestGoesOn;
}

// Receives what fits: a reply never exceeds ioExpected - 1 bytes, so its NUL always fits.
int ReceiveSome() {
    int room = gAgent.ioExpected - 1 - gAgent.ioLength;
    if (room <= 0) return -1;
    int received = PlatSocketRecv(gAgent.socketHandle, gAgent.ioBuffer + gAgent.ioLength, room);
    if (received > 0) gAgent.ioLength += received;
    gAgent.ioBuffer[gAgent.ioLength] = '\0';
    return received;
}

// A request that got no answer: a lost PING is tried again at the next tick without troubling
// the user, three times in a row; anything else is reported at once.
void RequestFailed(const char* reason, FailCause cause) {
    if (gAgent.connState >= kPingConnecting && gAgent.connState <= kPingReading) {
        gAgent.timeoutRetries++;
        if (gAgent.timeoutRetries <= 3) {
            CloseCurrentSocket();
            gAgent.connState = kIdle;
            return;
        }
    }
    NetworkError(reason, cause);
}

// Ends the request once the server has closed: a reply in the buffer is for the session
// control, while connState still names its request; with none, the server closed without a
// reply, and the request failed for `reasonIfEmpty`.
RequestEnd CompleteRequest(const char* reasonIfEmpty) {
    PlatSocketShutdown(gAgent.socketHandle);
    CloseCurrentSocket();
    PlatKillTimer(kTimerRequest);
    if (gAgent.ioLength > 0) return kRequestReplied;
    RequestFailed(reasonIfEmpty, kCauseClosedWithoutReply);
    gAgent.connState = kIdle;
    return kRequestClosedEmpty;
}

// A connection that ended in an error never yields a reply: what arrived before a reset may be
// any part of one ("1 1234" cut to "1 1" would log on as another session).
RequestEnd ConnectionBroken(FailCause cause) {
    TrayStatus(kIconError, kTextCannotConnect);
    NetworkError("error on scoket event", cause);
    return kRequestFailed;
}

RequestEnd OnReadable() {
    // Read notifications are asked for only once the request is written; anything earlier is
    // left over from another phase and must not touch the request still in the buffer.
    if (!IsReadingState(gAgent.connState)) return kRequestGoesOn;
    int received = ReceiveSome();
    if (received == kRecvFailed) return ConnectionBroken(kCauseReset);
    // The server has finished: the reply is complete, as at the close notification. Closing
    // without a word is as good as no answer at all, not a success.
    if (received == 0) return CompleteRequest("empty reply");
    // A full buffer ends the exchange here; the request then ends through its timeout.
    if (gAgent.ioLength >= gAgent.ioExpected - 1) CloseCurrentSocket();
    return kRequestGoesOn;
}

RequestEnd OnClosed() {
    if (!IsReadingState(gAgent.connState)) {
        // The server closed before the request was written: nothing can answer it, and the
        // buffer holds the request, not a reply.
        gAgent.ioLength = 0;
        return CompleteRequest("sys error");
    }
    int before = gAgent.ioLength;
    int received = ReceiveSome();
    if (received == kRecvFailed) return ConnectionBroken(kCauseReset);
    if (received < 0) return kRequestGoesOn;
    if (gAgent.ioLength > before) DebugPrint("AHTUNG READ WHEN CLOSE!!!!! DONT PANIC");
    return CompleteRequest("empty reply");
}

}  // namespace

void OpenConnection() {
    DebugPrint("Попытка соединения...");
    PlatSetTimer(kTimerRequest, kRequestTimeoutMs);  // restarts a running one
    CloseCurrentSocket();
    gAgent.socketHandle = PlatSocketOpen();
    if (gAgent.socketHandle == kNoSocket) return;  // the request ends through its timeout
    PlatSocketWait(gAgent.socketHandle, kWaitConnect);
    // Address and port are read from the block at every connect.
    char address[kAddressSize], port[kPortSize + 1];
    ServerEndpoint(address, port);
    PlatSocketConnect(gAgent.socketHandle, address, atoi(port));
}

RequestEnd EngineSocketEvent(PlatSocket socket, PlatSocketEvent event, PlatNetError error) {
    // Notifications of a socket already closed can still be queued; only the current one counts.
    if (socket == kNoSocket || socket != gAgent.socketHandle) return kRequestGoesOn;
    if (error != kNetOk) return ConnectionBroken(CauseOfSocketError(error, gAgent.connState));
    switch (event) {
        case kSocketConnected: OnConnected(); return kRequestGoesOn;
        case kSocketWritable: return OnWritable();
        case kSocketReadable: return OnReadable();
        case kSocketClosed: return OnClosed();
        case kSocketOther: break;
    }
    NetworkError("sys error", kCauseReset);
    return kRequestFailed;
}

void NetworkError(const char* reason, FailCause cause) {
    DebugPrint("Сетевая ошибка, причина: %s", reason);
    NoteFailureCause(cause, reason);
    NoteAccountChange(kChangeNetworkError, gAgent.view.causeText);
    TrayStatus(kIconError, kTextCannotConnect);
    // Under the failure, why it failed and what to check.
    char text[kStatsTextSize];
    snprintf(text, sizeof text, "%s\n%s", kTextCannotConnect, gAgent.view.causeText);
    ShowStatsText(text);
    gAgent.connState = kIdle;
    CloseSession(kSessionLost);
    CloseCurrentSocket();
    PlatKillTimer(kTimerRequest);
}

RequestEnd EngineRequestTimeout() {
    PlatKillTimer(kTimerRequest);
    if (gAgent.connState == kIdle) return kRequestGoesOn;
    const char* reply = reinterpret_cast<const char*>(gAgent.ioBuffer);
    bool reading = IsReadingState(gAgent.connState);
    RequestFailed("Network timeout",
                  CauseOfTimeout(gAgent.connState, reply, reading ? gAgent.ioLength : 0));
    return kRequestFailed;
}
