#include "session/control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/events.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "session/frames.h"
#include "session/replies.h"
#include "session/world.h"
#include "settings/store.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

bool IdleInSession() { return gAgent.connState == kIdle && gAgent.sessionActive; }

void EndSession() {
    memset(gAgent.sessionId, 0, sizeof gAgent.sessionId);
    gAgent.linkConfirmed = false;
    gAgent.sessionActive = false;
    gAgent.sessionAtServer = false;
}

// Puts "title:\nwhy" (cut to fit) into the tray and the statistics window.
void ShowRefusal(const char* title, const char* why, char* text, size_t size) {
    snprintf(text, size, "%s:\n%s", title, why);
    TrayStatus(gAgent.iconError, text);
    ShowStatsText(text);
}

void OnLogonAccepted(const LogonReply& reply) {
    TrayStatus(gAgent.iconProgress, kTextPasswordAccepted);
    if (atoi(reply.session) == 0) {
        NetworkError("Session id is 0");
        return;
    }
    CopyBounded(gAgent.sessionId, sizeof gAgent.sessionId, reply.session);
    gAgent.useSavedPassword = true;
    gAgent.linkConfirmed = false;
    gAgent.sessionActive = true;
    gAgent.sessionAtServer = true;
    gAgent.pingCounter = 1;
    // PINGs lost in an earlier session say nothing about this one: its first lost PING passes
    // quietly too, instead of abandoning it at the server.
    gAgent.timeoutRetries = 0;
    DebugPrint("Парсинг сообщения: установка 'small timer' для 'PING'");
    gAgent.pingInterval = reply.code == '3' ? PingIntervalMs(reply.seconds) : kSlowPingMs;
    PlatSetTimer(gAgent.mainWindow, kTimerPing, kFastPingMs);
    SaveSettings();
    gAgent.autoReconnect = true;
    NoteAccountChange(kChangeLogonAccepted, nullptr);
}

void OnLogonImpossible(const char* rest) {
    EndSession();
    PlatKillTimer(gAgent.mainWindow, kTimerPing);
    char text[1024];
    ShowRefusal(kTextLogonImpossible, rest, text, sizeof text);
    NoteAccountChange(kChangeRefusedBusy, rest);
    gAgent.retryDelay = NextRetryDelay(gAgent.retryDelay);
    PlatSetTimer(gAgent.mainWindow, kTimerReconnect, gAgent.retryDelay);
}

void OnLogonRefused(const char* rest) {
    EndSession();
    PlatKillTimer(gAgent.mainWindow, kTimerPing);
    gAgent.useSavedPassword = false;
    char text[1024];
    ShowRefusal(kTextLogonRefused, rest, text, sizeof text);
    NoteAccountChange(kChangeRefusedAuth, rest);
    PlatMessageBox(gAgent.mainWindow, text, kCaptionWarning, kBoxWarning);
    gAgent.mainWindowVisible = true;
    gAgent.autoReconnect = false;
    PlatShowWindow(gAgent.mainWindow, true);
}

void HandleLogonReply(char* text) {
    LogonReply reply = ParseLogonReply(text);
    if (reply.code == '1' || reply.code == '3') {
        OnLogonAccepted(reply);
        return;
    }
    if (reply.code == '0') {
        OnLogonImpossible(reply.reason);
        return;
    }
    if (gAgent.retryDelay != kRetryDelayStart) {
        gAgent.retryDelay = kRetryDelayStart;
        PlatSetTimer(gAgent.mainWindow, kTimerReconnect, gAgent.retryDelay);
    }
    if (reply.code == '2') {
        OnLogonRefused(reply.reason);
        return;
    }
    // Anything else (no text at all, a stranger on the port) is a failure, not work in progress.
    NoteAccountChange(kChangeLogonOther, nullptr);
    NetworkError(kReasonUnknownReply);
}

void HandleLogoutReply() {
    TrayStatus(gAgent.iconDisconnected, kTextDisconnected);
    ShowStatsText(kTextDisconnected);
    EndSession();
    NoteAccountChange(kChangeLoggedOff, nullptr);
}

void OnPingAnswered(const PingReply& reply) {
    TrayStatus(gAgent.iconConnected, kTextConnected);
    gAgent.linkConfirmed = true;
    gAgent.timeoutRetries = 0;
    gAgent.limitState = reply.limitState;
    ShowAccountStatistics(reply);
    PlatSetTimer(gAgent.mainWindow, kTimerPing, gAgent.pingInterval);
    NoteAccountChange(kChangeOpen, gAgent.trayTip);
}

void OnPingRetry() {
    gAgent.linkConfirmed = false;
    // The counter is raised as each PING is written, so it is 8 when the seventh PING of the
    // session is answered. Widened: the product overflows an int after about a million PINGs.
    if (static_cast<int64_t>(gAgent.pingCounter) * kFastPingMs >= kAccessDeniedMs) {
        NetworkError(kReasonAccessDenied);
        return;
    }
    PlatSetTimer(gAgent.mainWindow, kTimerPing, kFastPingMs);
    TrayStatus(gAgent.iconProgress, kTextPasswordAccepted);
}

void HandlePingReply(char* text) {
    PlatKillTimer(gAgent.mainWindow, kTimerPing);
    PingReply reply = ParsePingReply(text);
    switch (reply.code) {
        case '0':
            TrayStatus(gAgent.iconError, reply.text);
            ShowStatsText(reply.text);
            gAgent.linkConfirmed = false;
            gAgent.sessionActive = false;
            gAgent.sessionAtServer = false;
            NoteAccountChange(kChangeEnded, reply.text);
            break;
        case '1': OnPingAnswered(reply); break;
        case '2': OnPingRetry(); break;
        default: NetworkError(kReasonUnknownReply); break;
    }
}

void HandleInfoReply() {
    const char* reply = reinterpret_cast<const char*>(gAgent.ioBuffer);
    ShowStatsText(ParseInfoReply(reply, gAgent.ioLength));
    PlatShowWindow(gAgent.statsWindow, true);
}

}  // namespace

void StartLogon() {
    if (gAgent.connState != kIdle || gAgent.sessionActive) return;
    gAgent.linkConfirmed = false;
    gAgent.sessionActive = false;
    memset(gAgent.sessionId, 0, sizeof gAgent.sessionId);
    TrayStatus(gAgent.iconProgress, kTextConnecting);
    gAgent.sessionAtServer = false;
    gAgent.connState = kLogonConnecting;
    PlatGetItemText(gAgent.mainWindow, IDC_LOGIN, gAgent.login, sizeof gAgent.login);
    PlatGetItemText(gAgent.mainWindow, IDC_PASSWORD, gAgent.password, sizeof gAgent.password);
    ComposeRequest("LOGON", gAgent.login, gAgent.password, kClientVersionCode);
    OpenConnection();
    gAgent.mainWindowVisible = false;
    PlatShowWindow(gAgent.mainWindow, false);
}

void StartLogout() {
    gAgent.autoReconnect = false;
    if (!IdleInSession()) return;
    TrayStatus(gAgent.iconProgress, kTextDisconnecting);
    ComposeRequest("LOGOUT", gAgent.login, gAgent.sessionId, "VOID4");
    gAgent.connState = kLogoutConnecting;
    OpenConnection();
    gAgent.mainWindowVisible = false;
    PlatShowWindow(gAgent.mainWindow, false);
}

void StartStaleLogout() {
    if (gAgent.connState != kIdle) return;
    TrayStatus(gAgent.iconProgress, kTextDisconnecting);
    ComposeRequest("LOGOUT", gAgent.login, gAgent.sessionId, "VOID4");
    gAgent.connState = kLogoutConnecting;
    OpenConnection();
}

void RequestStatistics() {
    PlatShowWindow(gAgent.statsWindow, true);
    if (!IdleInSession()) return;
    gAgent.connState = kInfoConnecting;
    ComposeRequest("GETINFO", gAgent.login, gAgent.sessionId, "VOID4");
    OpenConnection();
}

void SendPing() {
    if (!IdleInSession()) return;
    char counter[16];
    snprintf(counter, sizeof counter, "%d", gAgent.pingCounter);
    ComposeRequest("PING", gAgent.login, gAgent.sessionId, counter);
    gAgent.connState = kPingConnecting;
    OpenConnection();
}

void OnHover() {
    if (!IdleInSession() || gAgent.hoverPingGuard) return;
    gAgent.hoverPingGuard = true;
    PlatSetTimer(gAgent.mainWindow, kTimerHover, kHoverGuardMs);
    DebugPrint("Получение статистики, вне очередной 'PING'");
    SendPing();
}

void EndHoverGuard() {
    gAgent.hoverPingGuard = false;
    PlatKillTimer(gAgent.mainWindow, kTimerHover);
}

void ReconnectTick() {
    if (gAgent.connState == kIdle && !gAgent.mainWindowVisible && gAgent.autoReconnect &&
        !gAgent.linkConfirmed && !gAgent.sessionActive) {
        PlatPostCommand(gAgent.mainWindow, IDC_CONNECT);
    }
}

void HandleReply() {
    if (gAgent.ioLength == 0) return;
    char* reply = reinterpret_cast<char*>(gAgent.ioBuffer);
    DebugPrint("Полученные данные: %s", reply);
    switch (gAgent.connState) {
        case kLogonReading: HandleLogonReply(reply); break;
        case kLogoutReading: HandleLogoutReply(); break;
        case kPingReading: HandlePingReply(reply); break;
        case kInfoReading: HandleInfoReply(); break;
        default: NetworkError("sys error"); break;
    }
}
