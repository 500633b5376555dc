#include "session/notices.h"

#include <cstdio>

#include "core/agent_state.h"
#include "platform/platform.h"
#include "ui/texts.h"

namespace {

// Debug line and, when the user wants them, a balloon.
void Notify(const char* title, const char* text) {
    while (text != nullptr && *text == ' ')
        text++;
    if (text == nullptr || *text == '\0') text = kNotifyNoReason;
    if (!gAgent.notifyEnabled) return;
    char line[512];
    snprintf(line, sizeof line, "%s: %s", title, text);
    for (char* c = line; *c != '\0'; c++)
        if (*c == '\n' || *c == '\r') *c = ' ';
    DebugPrint("Уведомление: %s", line);
    PlatNotify(title, text);
}

void NoteOpen(const char* text) {
    int before = gAgent.accountShown;
    int previousLimit = gAgent.shownLimit;
    gAgent.accountShown = kShownConnected;
    gAgent.shownLimit = gAgent.limitState;
    if (gAgent.limitState == kLimitNear && previousLimit != kLimitNear) {
        Notify(kNotifyLimit, text);
    } else if (gAgent.limitState == kLimitBlocked && previousLimit != kLimitBlocked) {
        Notify(kNotifyBlocked, text);
    } else if (before != kShownInitial && before != kShownConnected) {
        Notify(kNotifyReconnected, text);
    }
}

// A notification when the account enters `shown` from another state.
void NoteLoss(int shown, const char* title, const char* text) {
    if (gAgent.accountShown != shown) Notify(title, text);
    gAgent.accountShown = shown;
}

}  // namespace

void NoteAccountChange(AccountChange change, const char* text) {
    switch (change) {
        case kChangeOpen: NoteOpen(text); break;
        case kChangeLogonAccepted:
        case kChangeLogonOther: gAgent.logonBackoff = false; break;
        case kChangeLoggedOff: gAgent.accountShown = kShownDisconnected; break;
        case kChangeEnded:
            gAgent.worldSawEnd = true;
            NoteLoss(kShownEnded, kNotifyEnded, text);
            break;
        case kChangeRefusedBusy:
            gAgent.logonBackoff = true;
            NoteLoss(kShownRefused, kNotifyImpossible, text);
            break;
        case kChangeRefusedAuth: NoteLoss(kShownRefusedAuth, kNotifyRefused, text); break;
        case kChangeNetworkError:
            // Only an open session lost is news; a failed attempt just shows the error icon.
            if (gAgent.sessionActive && gAgent.linkConfirmed) {
                NoteLoss(kShownLost, kNotifyLost, text);
            } else {
                gAgent.accountShown = kShownLost;
            }
            break;
    }
}
