// What the user is told of the account's changes: a notification (and its debug line) once per
// transition, never once per PING.
#pragma once

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

// Called at each transition; `text` may be nullptr.
void NoteAccountChange(AccountChange change, const char* text);
