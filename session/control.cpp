#include "session/control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/cause.h"
#include "session/engine.h"
#include "session/frames.h"
#include "session/notices.h"
#include "session/replies.h"
#include "settings/store.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

bool IdleInSession() { return gAgent.connState == kIdle && gAgent.sessionActive; }

void EndSession() { CloseSession(kSessionOver); }

// Puts "title:\nwhy" (cut to fit) into the tray and the statistics window.
void ShowRefusal(const char* title, const char* why, char* text, size_t size) {
    snprintf(text, size, "%s:\n%s", title, why);
    TrayStatus(kIconError, text);
    ShowStatsText(text);
}

void OnLogonAccepted(const LogonReply& reply) {
    TrayStatus(kIconProgress, kTextPasswordAccepted);
    if (atoi(reply.session) == 0) {
        NetworkError("Session id is 0", kCauseNotAccessServer);
        return;
    }
    ClearFailureCause(kTextPasswordAccepted, false);
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
    PlatSetTimer(kTimerPing, kFastPingMs);
    SaveSettings();
    gAgent.autoReconnect = true;
    NoteAccountChange(kChangeLogonAccepted, nullptr);
}

void OnLogonImpossible(const char* rest) {
    EndSession();
    PlatKillTimer(kTimerPing);
    char text[1024];
    ShowRefusal(kTextLogonImpossible, rest, text, sizeof text);
    NoteFailureCause(kCauseRefused, rest);
    NoteAccountChange(kChangeRefusedBusy, rest);
    gAgent.retryDelay = NextRetryDelay(gAgent.retryDelay);
    PlatSetTimer(kTimerReconnect, gAgent.retryDelay);
}

void OnLogonRefused(const char* rest) {
    EndSession();
    PlatKillTimer(kTimerPing);
    gAgent.useSavedPassword = false;
    char text[1024];
    ShowRefusal(kTextLogonRefused, rest, text, sizeof text);
    NoteFailureCause(kCauseRefused, rest);
    NoteAccountChange(kChangeRefusedAuth, rest);
    PlatMessageBox(true, text, kCaptionWarning, kBoxWarning);
    gAgent.mainWindowVisible = true;
    gAgent.autoReconnect = false;
    PlatShowWindow(kWindowLogon, true);
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
        PlatSetTimer(kTimerReconnect, gAgent.retryDelay);
    }
    if (reply.code == '2') {
        OnLogonRefused(reply.reason);
        return;
    }
    // Anything else (no text at all, a stranger on the port) is a failure, not work in progress.
    NoteAccountChange(kChangeLogonOther, nullptr);
    NetworkError(kReasonUnknownReply, kCauseNotAccessServer);
}

void HandleLogoutReply() {
    TrayStatus(kIconDisconnected, kTextDisconnected);
    ShowStatsText(kTextDisconnected);
    EndSession();
    NoteAccountChange(kChangeLoggedOff, nullptr);
}

void OnPingAnswered(const PingReply& reply) {
    TrayStatus(kIconConnected, kTextConnected);
    gAgent.linkConfirmed = true;
    gAgent.timeoutRetries = 0;
    gAgent.limitState = reply.limitState;
    ShowAccountStatistics(reply.statusGiven, reply.limitState, reply.balance, reply.cost,
                          reply.message);
    // A message has taken the statistics window; without one it shows the state now.
    ClearFailureCause(reply.message[0] != '\0' ? nullptr : gAgent.view.tooltip, true);
    PlatSetTimer(kTimerPing, gAgent.pingInterval);
    NoteAccountChange(kChangeOpen, gAgent.view.tooltip);
}

void OnPingRetry() {
    gAgent.linkConfirmed = false;
    // The counter is raised as each PING is written, so it is 8 when the seventh PING of the
    // session is answered. Widened: the product overflows an int after about a million PINGs.
    if (static_cast<int64_t>(gAgent.pingCounter) * kFastPingMs >= kAccessDeniedMs) {
        NetworkError(kReasonAccessDenied, kCauseRefused);
        return;
    }
    PlatSetTimer(kTimerPing, kFastPingMs);
    TrayStatus(kIconProgress, kTextPasswordAccepted);
}

void HandlePingReply(char* text) {
    PlatKillTimer(kTimerPing);
    PingReply reply = ParsePingReply(text);
    switch (reply.code) {
        case '0':
            TrayStatus(kIconError, reply.text);
            ShowStatsText(reply.text);
            NoteFailureCause(kCauseRefused, reply.text);
            CloseSession(kSessionEndedByServer);
            NoteAccountChange(kChangeEnded, reply.text);
            break;
        case '1': OnPingAnswered(reply); break;
        case '2': OnPingRetry(); break;
        default: NetworkError(kReasonUnknownReply, kCauseNotAccessServer); break;
    }
}

void HandleInfoReply() {
    const char* reply = reinterpret_cast<const char*>(gAgent.ioBuffer);
    ShowStatsText(ParseInfoReply(reply, gAgent.ioLength));
    gAgent.statsTellsState = false;
    gAgent.statsWindowVisible = true;
    PlatShowWindow(kWindowStats, true);
}

}  // namespace

void StartLogon() {
    if (gAgent.connState != kIdle || gAgent.sessionActive) return;
    CloseSession(kSessionOver);
    TrayStatus(kIconProgress, kTextConnecting);
    gAgent.connState = kLogonConnecting;
    // The fields as the logon window holds them now; a front end without one keeps its form
    // in the view.
    bool remember = false;
    if (!PlatReadLogonForm(gAgent.login, sizeof gAgent.login, gAgent.password,
                           sizeof gAgent.password, &remember)) {
        CopyBounded(gAgent.login, sizeof gAgent.login, gAgent.view.form.login);
        CopyBounded(gAgent.password, sizeof gAgent.password, gAgent.formPassword);
    }
    ComposeRequest("LOGON", gAgent.login, gAgent.password, kClientVersionCode);
    OpenConnection();
    gAgent.mainWindowVisible = false;
    PlatShowWindow(kWindowLogon, false);
}

void CommandLogOn(const char* login, const char* password, bool remember) {
    // As the logon window would hold them: the login typed, the password typed (which drops the
    // remembered block) or left standing for the block, and the box.
    CopyBounded(gAgent.view.form.login, sizeof gAgent.view.form.login,
                login != nullptr ? login : "");
    if (password != nullptr) {
        CopyBounded(gAgent.formPassword, sizeof gAgent.formPassword, password);
        OnPasswordTyped();
    }
    gAgent.view.form.remember = remember && gAgent.view.form.rememberAllowed;
    StartLogon();
}

void CommandLogOnUnattended(const char* login, const char* password) {
    gAgent.autoReconnect = true;
    CommandLogOn(login, password, true);
}

void StartLogout() {
    gAgent.autoReconnect = false;
    if (!IdleInSession()) return;
    TrayStatus(kIconProgress, kTextDisconnecting);
    ComposeLogout();
    gAgent.connState = kLogoutConnecting;
    OpenConnection();
    gAgent.mainWindowVisible = false;
    PlatShowWindow(kWindowLogon, false);
}

void OnPasswordTyped() { gAgent.useSavedPassword = false; }

void StartStaleLogout() {
    if (gAgent.connState != kIdle) return;
    TrayStatus(kIconProgress, kTextDisconnecting);
    ComposeLogout();
    gAgent.connState = kLogoutConnecting;
    OpenConnection();
}

void RequestStatistics() {
    gAgent.statsWindowVisible = true;
    PlatShowWindow(kWindowStats, true);
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
    PlatSetTimer(kTimerHover, kHoverGuardMs);
    DebugPrint("Получение статистики, вне очередной 'PING'");
    SendPing();
}

void EndHoverGuard() {
    gAgent.hoverPingGuard = false;
    PlatKillTimer(kTimerHover);
}

void ReconnectTick() {
    if (gAgent.connState == kIdle && !gAgent.mainWindowVisible && gAgent.autoReconnect &&
        !gAgent.linkConfirmed && !gAgent.sessionActive) {
        PlatPostCommand(IDC_CONNECT);
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
        default: NetworkError("sys error", kCauseReset); break;
    }
}
