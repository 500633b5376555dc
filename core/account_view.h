// What the user is shown of the account, and the records the core and a front end exchange: the
// logon form, the stored settings and the machine's policy. The core owns every one of them;
// a front end shows them and reports what the user did.
#pragma once

#include <cstddef>
#include <cstdint>

// The six pictures of the account's state; kIconNone leaves the picture as it is.
enum TrayIcon {
    kIconNone = 0,
    kIconDisconnected,
    kIconProgress,
    kIconConnected,
    kIconLimit,
    kIconBlocked,
    kIconError,
};

const size_t kTipSize = 64;     // the tooltip: 63 characters
const size_t kFigureSize = 12;  // a balance or a session cost: 11 characters, as the tooltip
const size_t kStatsTextSize = 1024;
const size_t kFormLoginSize = 1024;  // the login field holds more than a logon takes

// The logon window's fields: the login, the remember box and whether it may be used, and
// whether the password field stands for the remembered block.
struct LogonForm {
    char login[kFormLoginSize];
    bool remember;
    bool rememberAllowed;
    bool passwordRemembered;
};

// Why the last request failed, as the user is told; kCauseNone while nothing has failed since
// the last accepted logon or answered PING.
enum FailCause {
    kCauseNone = 0,
    kCauseNoNetwork,
    kCauseNoRoute,
    kCausePortClosed,
    kCauseConnectTimeout,
    kCauseReplyTimeout,
    kCauseClosedWithoutReply,
    kCauseReset,
    kCauseNotAccessServer,
    kCauseRefused,
};
const int kCauseCount = kCauseRefused + 1;
const size_t kCauseTextSize = 512;

struct AccountView {
    TrayIcon icon;              // kIconNone until the first update
    char tooltip[kTipSize];     // the tray's tooltip
    char balance[kFigureSize];  // as the last PING answered '1' gave them
    char sessionCost[kFigureSize];
    char statistics[kStatsTextSize];  // the statistics window's text
    FailCause cause;
    char causeText[kCauseTextSize];  // the cause and what to check, one line
    LogonForm form;
    bool startAtLogon;
    bool startAtLogonLocked;  // --domain: the menu item is greyed
    bool sessionOpen;
};

// ---- Stored per-user settings: what the store holds, value by value ----

// kValueOther: a type the agent neither reads nor writes.
enum PlatValueType {
    kValueNone = 0,
    kValueString = 1,
    kValueBinary = 3,
    kValueDword = 4,
    kValueOther = 99
};

enum StoredName { kStoredRunAtLogon, kStoredSaveData, kStoredLogin, kStoredPass, kStoredNotify };
const int kStoredCount = 5;
// The names the store keeps them under, in StoredName order.
inline const char* const kStoredNames[kStoredCount] = {"runonwinlogon", "savedata", "login", "pass",
                                                       "notify"};

const uint32_t kStoredValueSize = 4096;
// What a save does with a value.
enum StoredAction { kStoredKeep = 0, kStoredWrite, kStoredDelete };

struct StoredValue {
    bool present;  // loading: the value exists (of any type)
    PlatValueType type;
    uint32_t size;
    uint8_t data[kStoredValueSize];
    StoredAction action;  // saving
};

struct StoredSettings {
    StoredValue values[kStoredCount];
};

// Where the start-at-logon entry stands against the running program.
enum AutostartState { kAutostartAbsent, kAutostartOther, kAutostartOurs };

// ---- The machine's policy, set by an administrator (read, never written by the agent) ----

const size_t kPolicyTextSize = 261;
const int kPolicyMaxValues = 8;
// One policy value as found. type: kValueNone when absent, kValueDword (a 4-byte DWORD) with
// `number`, kValueString (a string or an expandable string, its variables left as they are) with
// `text`, kValueOther for any other type, size, or a text longer than kPolicyTextSize - 1.
struct PlatPolicyValue {
    PlatValueType type;
    uint32_t number;
    char text[kPolicyTextSize];
    const char* where;  // the place it was read from, for the debug output; nullptr when absent
};
// The policy values of one name list, as the machine and as the user have them.
struct PlatPolicyRecord {
    PlatPolicyValue machine[kPolicyMaxValues];
    PlatPolicyValue user[kPolicyMaxValues];
};
