#include "ui/tray.h"

#include <cstdio>
#include <cstring>

#include "app/events.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "res/resource_ids.h"
#include "ui/texts.h"

namespace {

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

namespace {

// The status shown for limitState; nothing when the server gave no status digit.
const char* StatusText(const PingReply& reply) {
    if (!reply.statusGiven) return "";
    if (reply.limitState == kLimitNear) return kTextLimitNear;
    if (reply.limitState == kLimitBlocked) return kTextPaidBlocked;
    return kTextConnected;
}

}  // namespace

void ShowAccountStatistics(const PingReply& reply) {
    char tooltip[68];
    snprintf(tooltip, sizeof tooltip, VORNA_ACCOUNT_TIP_FORMAT, StatusText(reply), reply.balance,
             reply.cost);
    if (reply.message[0] != '\0') {
        char message[1024];
        CopyBounded(message, sizeof message, reply.message);
        ShowStatsText(message);
        PlatShowWindow(gAgent.statsWindow, true);
    }
    TrayStatus(gAgent.iconConnected, tooltip);
}
