#include "session/control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "session/frames.h"
#include "session/world.h"
#include "settings/store.h"
#include "ui/handlers.h"
#include "ui/tray.h"

namespace {

const char kPasswordAccepted[] = "Проверка пароля прошла успешно, идет подключение";
const char kWarningCaption[] = "VornaAgent - предупреждение";
const uint32_t kFastPingMs = 2000;
const uint32_t kSlowPingMs = 300000;
const uint32_t kHoverGuardMs = 5000;
const uint32_t kRetryDelayLimit = 1200000;

bool IdleInSession() { return gAgent.connState == kIdle && gAgent.sessionActive; }

// Cuts `text` at its first space: the space becomes a NUL and further spaces are skipped.
// Returns what follows (the end of the text when there is no space).
char* CutAtSpace(char* text) {
    char* space = strchr(text, ' ');
    if (space == nullptr) return text + strlen(text);
    *space++ = '\0';
    while (*space == ' ')
        space++;
    return space;
}

void EndSession() {
    memset(gAgent.sessionId, 0, sizeof gAgent.sessionId);
    gAgent.linkConfirmed = false;
    gAgent.sessionActive = false;
}

// Puts "title:\nwhy" (cut to fit) into the tray and the statistics window.
void ShowRefusal(const char* title, const char* why, char* text, size_t size) {
    snprintf(text, size, "%s:\n%s", title, why);
    TrayStatus(gAgent.iconError, text);
    ShowStatsText(text);
}

void OnLogonAccepted(char code, char* rest) {
    char* next = CutAtSpace(rest);
    TrayStatus(gAgent.iconProgress, kPasswordAccepted);
    if (atoi(rest) == 0) {
        NetworkError("Session id is 0");
        return;
    }
    CopyBounded(gAgent.sessionId, sizeof gAgent.sessionId, rest);
    gAgent.useSavedPassword = true;
    gAgent.linkConfirmed = false;
    gAgent.sessionActive = true;
    gAgent.pingCounter = 1;
    DebugPrint("Парсинг сообщения: установка 'small timer' для 'PING'");
    gAgent.pingInterval = kSlowPingMs;
    if (code == '3') {
        CutAtSpace(next);
        int seconds = atoi(next);
        if (seconds < 20 || seconds > 1800) seconds = 90;
        gAgent.pingInterval = static_cast<uint32_t>(seconds) * 1000;
    }
    PlatSetTimer(gAgent.mainWindow, kTimerPing, kFastPingMs);
    SaveSettings();
    gAgent.autoReconnect = true;
    NoteAccountChange(kChangeLogonAccepted, nullptr);
}

void OnLogonImpossible(const char* rest) {
    EndSession();
    PlatKillTimer(gAgent.mainWindow, kTimerPing);
    char text[1024];
    ShowRefusal("Подключение невозможно", rest, text, sizeof text);
    NoteAccountChange(kChangeRefusedBusy, rest);
    gAgent.retryDelay = gAgent.retryDelay * 15 / 10;
    if (gAgent.retryDelay > kRetryDelayLimit) gAgent.retryDelay = kRetryDelayStart;
    PlatSetTimer(gAgent.mainWindow, kTimerReconnect, gAgent.retryDelay);
}

void OnLogonRefused(const char* rest) {
    EndSession();
    PlatKillTimer(gAgent.mainWindow, kTimerPing);
    gAgent.useSavedPassword = false;
    char text[1024];
    ShowRefusal("Авторизации не выполнена", rest, text, sizeof text);
    NoteAccountChange(kChangeRefusedAuth, rest);
    PlatMessageBox(gAgent.mainWindow, text, kWarningCaption, kBoxWarning);
    gAgent.mainWindowVisible = true;
    gAgent.autoReconnect = false;
    PlatShowWindow(gAgent.mainWindow, true);
}

void HandleLogonReply(char* reply) {
    char code = reply[0];
    char* rest = CutAtSpace(reply);
    if (code == '1' || code == '3') {
        OnLogonAccepted(code, rest);
        return;
    }
    if (code == '0') {
        OnLogonImpossible(rest);
        return;
    }
    if (gAgent.retryDelay != kRetryDelayStart) {
        gAgent.retryDelay = kRetryDelayStart;
        PlatSetTimer(gAgent.mainWindow, kTimerReconnect, gAgent.retryDelay);
    }
    if (code == '2') {
        OnLogonRefused(rest);
    } else {
        NoteAccountChange(kChangeLogonOther, nullptr);
    }
}

void HandleLogoutReply() {
    TrayStatus(gAgent.iconDisconnected, "Отключен");
    ShowStatsText("Отключен");
    EndSession();
    NoteAccountChange(kChangeLoggedOff, nullptr);
}

void HandlePingReply(char* reply) {
    PlatKillTimer(gAgent.mainWindow, kTimerPing);
    switch (reply[0]) {
        case '0':
            TrayStatus(gAgent.iconError, reply + 1);
            ShowStatsText(reply + 1);
            gAgent.linkConfirmed = false;
            gAgent.sessionActive = false;
            NoteAccountChange(kChangeEnded, reply + 1);
            break;
        case '1':
            TrayStatus(gAgent.iconConnected, "Подключен");
            gAgent.linkConfirmed = true;
            ShowAccountStatistics(reply);
            PlatSetTimer(gAgent.mainWindow, kTimerPing, gAgent.pingInterval);
            NoteAccountChange(kChangeOpen, gAgent.trayTip);
            break;
        case '2':
            gAgent.linkConfirmed = false;
            // The counter is raised as each PING is written, so it is 8 when the seventh
            // PING of the session is answered.
            if (gAgent.pingCounter * 2000 >= 15000) {
                NetworkError("Доступ запрещен");
                break;
            }
            PlatSetTimer(gAgent.mainWindow, kTimerPing, kFastPingMs);
            TrayStatus(gAgent.iconProgress, kPasswordAccepted);
            break;
        default: NetworkError("Неизвестный ответ сервера"); break;
    }
}

void HandleInfoReply() {
    const char* reply = reinterpret_cast<const char*>(gAgent.ioBuffer);
    ShowStatsText(gAgent.ioLength >= 2 ? reply + 2 : "");
    PlatShowWindow(gAgent.statsWindow, true);
}

}  // namespace

void StartLogon() {
    if (gAgent.connState != kIdle || gAgent.sessionActive) return;
    gAgent.linkConfirmed = false;
    gAgent.sessionActive = false;
    memset(gAgent.sessionId, 0, sizeof gAgent.sessionId);
    TrayStatus(gAgent.iconProgress, "Идет подключение");
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
    TrayStatus(gAgent.iconProgress, "Идет отключение");
    ComposeRequest("LOGOUT", gAgent.login, gAgent.sessionId, "VOID4");
    gAgent.connState = kLogoutConnecting;
    OpenConnection();
    gAgent.mainWindowVisible = false;
    PlatShowWindow(gAgent.mainWindow, false);
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

void OnTimer(int id) {
    switch (id) {
        case kTimerRequest: OnRequestTimeout(); break;
        case kTimerPing:
            SendPing();  // keeps ticking; only reply handling gives it a new period
            break;
        case kTimerHover:
            gAgent.hoverPingGuard = false;
            PlatKillTimer(gAgent.mainWindow, kTimerHover);
            break;
        case kTimerReconnect:
            if (gAgent.connState == kIdle && !gAgent.mainWindowVisible && gAgent.autoReconnect &&
                !gAgent.linkConfirmed && !gAgent.sessionActive) {
                PlatPostCommand(gAgent.mainWindow, IDC_CONNECT);
            }
            break;
        case kTimerTrayRetry: RetryTrayIcon(); break;
        case kTimerWorld: OnWorldTimer(); break;
        default: break;
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
