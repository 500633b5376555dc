// Reacting to the world at once: resume from sleep and network changes trigger an immediate
// re-check of the session, and account-state transitions are told to the user.
#pragma once

#include <cstdint>

#include "core/timings.h"
#include "ui/texts.h"

// The account as the user last saw it, for deciding which transition deserves a notification.
enum AccountShown {
    kShownInitial = 0,
    kShownConnected,
    kShownDisconnected,  // logged off
    kShownEnded,         // session ended by the server
    kShownRefused,       // logon refused with '0'
    kShownRefusedAuth,   // logon refused with '2'
    kShownLost,          // network error
};

// What session control reports as it happens.
enum AccountChange {
    kChangeOpen,  // PING answered '1' (limitState already updated)
    kChangeLogonAccepted,
    kChangeLogonOther,  // a LOGON reply other than '0' to '3'
    kChangeLoggedOff,
    kChangeEnded,         // PING answered '0'; text: the server's
    kChangeRefusedBusy,   // LOGON '0'; text: the server's
    kChangeRefusedAuth,   // LOGON '2'; text: the server's
    kChangeNetworkError,  // text: the reason shown
};

// Called by session control at each transition; `text` may be nullptr.
void NoteAccountChange(AccountChange change, const char* text);
// Called by the engine each time a request has ended and connState is back to 0;
// `networkFailure` for an error, a time-out or an empty reply.
void WorldRequestEnded(bool networkFailure);
// Timer kTimerWorld.
void OnWorldTimer();
// Timer kTimerWorldHeld: the check that events held back by their rate are owed.
void OnWorldHeldTimer();
// Asks the platform for address-list notifications; without them the agent runs as before.
void StartWorldWatch();
