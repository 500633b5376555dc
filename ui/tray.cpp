#include "ui/tray.h"

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "res/resource_ids.h"
#include "ui/handlers.h"

namespace {

const uint32_t kTrayRetryMs = 2000;

// Adds the icon with the current picture and tooltip. A busy shell can refuse the add and still
// go on to show the icon; from then on every add is refused because the icon exists, so a
// refused add is followed by a modify, and the icon counts as present when that succeeds.
// Until one of them works (the shell may not be ready at early logon, or Explorer restarted) a
// timer keeps trying.
bool AddTrayIcon() {
    const char* tip = gAgent.trayTip[0] != '\0' ? gAgent.trayTip : nullptr;
    bool added = PlatTrayNotify(kTrayAdd, gAgent.mainWindow, gAgent.trayIcon, tip) ||
                 PlatTrayNotify(kTrayModify, gAgent.mainWindow, gAgent.trayIcon, tip);
    gAgent.trayIconAdded = added;
    if (added) {
        PlatKillTimer(gAgent.mainWindow, kTimerTrayRetry);
    } else {
        PlatSetTimer(gAgent.mainWindow, kTimerTrayRetry, kTrayRetryMs);
    }
    return added;
}

}  // namespace

bool TrayStatus(PlatIcon icon, const char* text) {
    if (icon != nullptr && icon == gAgent.iconConnected) {
        if (gAgent.limitState == kLimitNear) icon = gAgent.iconLimit;
        if (gAgent.limitState == kLimitBlocked) icon = gAgent.iconBlocked;
    }
    DebugPrint("Трей: %s", text != nullptr ? text : "");
    if (text != nullptr) CopyBounded(gAgent.trayTip, sizeof gAgent.trayTip, text);
    if (icon != nullptr) {
        gAgent.trayIcon = icon;
        PlatSetItemIcon(gAgent.statsWindow, IDC_STATS_ICON, icon);
    }
    gAgent.trayIconPending = false;
    if (!gAgent.trayIconAdded) return AddTrayIcon();
    return PlatTrayNotify(kTrayModify, gAgent.mainWindow, icon,
                          text != nullptr ? gAgent.trayTip : nullptr);
}

void RetryTrayIcon() {
    if (gAgent.trayIconAdded) {
        PlatKillTimer(gAgent.mainWindow, kTimerTrayRetry);
        return;
    }
    AddTrayIcon();
}

void OnTaskbarCreated() {
    // A new shell has no icons of ours: add ours again as it stands.
    gAgent.trayIconAdded = false;
    AddTrayIcon();
}

void ShowStatsText(const char* text) { PlatSetItemText(gAgent.statsWindow, IDC_STATS_TEXT, text); }

void ShowAccountStatistics(char* reply) {
    char* end = reply + strlen(reply);
    gAgent.timeoutRetries = 0;
    // Code, balance and session cost, each cut at exactly one space.
    char* tokens[3];
    char* position = reply;
    for (char*& token : tokens) {
        token = position;
        while (*position != '\0' && *position != ' ')
            position++;
        if (*position == ' ') *position++ = '\0';
    }
    gAgent.limitState = kLimitNormal;
    const char* status = "";
    if (*position == '0') {
        status = "Подключен";
        gAgent.limitState = kLimitNormal;
        *position++ = '\0';
    }
    if (*position == '1') {
        status = "Скоро лимит";
        gAgent.limitState = kLimitNear;
        *position++ = '\0';
    }
    if (*position == '2') {
        status = "Платные сети блокированы";
        gAgent.limitState = kLimitBlocked;
        *position++ = '\0';
    }
    while (*position == ' ')
        *position++ = '\0';
    char tooltip[68];
    snprintf(tooltip, sizeof tooltip, "%s\nБаланс: %.11s\nЗа сессию: %.11s", status, tokens[1],
             tokens[2]);
    if (position != end) {
        char message[1024];
        CopyBounded(message, sizeof message, position);
        ShowStatsText(message);
        PlatShowWindow(gAgent.statsWindow, true);
    }
    TrayStatus(gAgent.iconConnected, tooltip);
}
