// The administrator's policy: remembering credentials, notifications, the support log and the
// server. Read once at start from the machine's policy key and, for the policies that make
// sense per user, the user's; the machine's value wins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Where the Windows agent and the Group Policy template keep the policies (the template's test
// reads it from the agent's table).
extern const char kPolicyKey[];  // "Software\\Policies\\Vorna\\AuthUtility"

enum PolicyId {
    kPolicyNoSaveData,
    kPolicyNotify,
    kPolicyLogFile,
    kPolicyAddress,
    kPolicyPort,
    kPolicyCount
};

// What a value must be. Flag: a DWORD, any number (non-zero is on). Number: a DWORD within
// min..max. Path: a string (environment variables allowed, as --log takes them). Address: a
// string holding a dotted IPv4 address a server can have.
enum PolicyKind { kPolicyFlag, kPolicyNumber, kPolicyPath, kPolicyAddressText };

struct PolicySpec {
    PolicyId id;
    const char* name;  // the value's name under kPolicyKey
    PolicyKind kind;
    bool perUser;  // also read from the user's key
    uint32_t min;  // kPolicyNumber only
    uint32_t max;
};
// Indexed by PolicyId. The Group Policy template (installer/policy) is checked against it.
extern const PolicySpec kPolicies[kPolicyCount];

// A value that was found and set aside: wrong type, out of range.
struct PolicyIgnored {
    PolicyId id;
    const char* where;
    const char* why;
};

// The policy in force for this run: inForce[id] says whether a value counts, and which.
struct MachinePolicy {
    bool inForce[kPolicyCount];
    const char* where[kPolicyCount];
    uint32_t number[kPolicyCount];
    char text[kPolicyCount][kPolicyTextSize];
    PolicyIgnored ignored[2 * kPolicyCount];
    int ignoredCount;
};

// Reads every value of kPolicies through the platform and keeps those of the right type and
// range; the others are listed in `ignored`, and the user's value (if the policy has one) then
// counts. Never fails: an unreadable or bad policy is no policy.
void LoadMachinePolicy(MachinePolicy* policy);

// The support log the policy names, or nullptr when none is in force.
const char* PolicyLogFile(const MachinePolicy& policy);

// Applies the policy after LoadSettings: forbids remembering credentials (removes any stored
// login and password, writes "savedata" = 0, empties the logon form and unchecks and greys its
// remember box, and no save stores them in this run), sets notifications, and the server's
// address and port (options applied later win).
void ApplyPolicy(const MachinePolicy& policy);

// One debug line per policy value in force, and one per value ignored. `addressOption` and
// `logOption`: the command line gave --address or --log, which win for this run.
void PrintPolicyLines(const MachinePolicy& policy, bool addressOption, bool logOption);
