#include "ui/tray.h"

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
#include "ui/texts.h"

namespace {

// Adds the icon with the current picture and tooltip. A busy shell can refuse the add and still
// go on to show the icon; from then on every add is refused because the icon exists, so a
// refused add is followed by a modify, and the icon counts as present when that succeeds.
// Until one of them works (the shell may not be ready at early logon, or Explorer restarted) a
// timer keeps trying.
bool AddTrayIcon() {
    bool icon = gAgent.view.icon != kIconNone;
    bool tip = gAgent.view.tooltip[0] != '\0';
    bool added = PlatTrayNotify(kTrayAdd, icon, tip) || PlatTrayNotify(kTrayModify, icon, tip);
    gAgent.trayIconAdded = added;
    if (added) {
        PlatKillTimer(kTimerTrayRetry);
    } else {
        PlatSetTimer(kTimerTrayRetry, kTrayRetryMs);
    }
    return added;
}

}  // namespace

bool TrayStatus(TrayIcon icon, const char* text) {
    if (icon == kIconConnected) {
        if (gAgent.limitState == kLimitNear) icon = kIconLimit;
        if (gAgent.limitState == kLimitBlocked) icon = kIconBlocked;
    }
    DebugPrint("Трей: %s", text != nullptr ? text : "");
    if (text != nullptr) CopyBounded(gAgent.view.tooltip, sizeof gAgent.view.tooltip, text);
    if (icon != kIconNone) gAgent.view.icon = icon;
    gAgent.view.sessionOpen = gAgent.sessionActive;
    gAgent.trayIconPending = false;
    if (!gAgent.trayIconAdded) return AddTrayIcon();
    return PlatTrayNotify(kTrayModify, icon != kIconNone, text != nullptr);
}

void RetryTrayIcon() {
    if (gAgent.trayIconAdded) {
        PlatKillTimer(kTimerTrayRetry);
        return;
    }
    AddTrayIcon();
}

void OnTaskbarCreated() {
    // A new shell has no icons of ours: add ours again as it stands.
    gAgent.trayIconAdded = false;
    AddTrayIcon();
}

void ShowStatsText(const char* text) {
    CopyBounded(gAgent.view.statistics, sizeof gAgent.view.statistics, text);
    PlatShowStatistics();
}

void ShowLogonForm() { PlatShowLogonForm(); }

namespace {

// The status shown for limitState; nothing when the server gave no status digit.
const char* StatusText(bool statusGiven, int limitState) {
    if (!statusGiven) return "";
    if (limitState == kLimitNear) return kTextLimitNear;
    if (limitState == kLimitBlocked) return kTextPaidBlocked;
    return kTextConnected;
}

}  // namespace

void ShowAccountStatistics(bool statusGiven, int limitState, const char* balance, const char* cost,
                           const char* message) {
    // The figures are kept as the tooltip shows them, for front ends that show them apart.
    CopyBounded(gAgent.view.balance, sizeof gAgent.view.balance, balance);
    CopyBounded(gAgent.view.sessionCost, sizeof gAgent.view.sessionCost, cost);
    char tooltip[68];
    snprintf(tooltip, sizeof tooltip, VORNA_ACCOUNT_TIP_FORMAT, StatusText(statusGiven, limitState),
             balance, cost);
    if (message[0] != '\0') {
        char text[kStatsTextSize];
        CopyBounded(text, sizeof text, message);
        ShowStatsText(text);
        gAgent.statsWindowVisible = true;
        PlatShowWindow(kWindowStats, true);
    }
    TrayStatus(kIconConnected, tooltip);
}
