// Misbehaviours the server can put on for the agent's connection-engine tests.
#pragma once

#include <string>

enum FaultMode {
    kFaultNone,
    kFaultSplit,     // the reply in 1-byte writes with short pauses
    kFaultClose,     // the reply, then shutdown of both directions at once
    kFaultSilent,    // read the request, never answer, close only after the client does
    kFaultReset,     // part of the reply, then a reset (SO_LINGER 0)
    kFaultOversize,  // a reply of exactly `amount` bytes
    kFaultSlow,      // one byte every `amount` milliseconds
    kFaultDrop,      // close without answering
    kFaultNoAccept,  // stop accepting: connections wait in the listen backlog
};

struct FaultSpec {
    FaultMode mode = kFaultNone;
    int amount = 0;    // bytes for oversize, milliseconds for slow and split
    std::string verb;  // empty: every request
};

const int kSplitPauseMs = 20;

// "MODE", "MODE:VERB", "oversize:N[:VERB]", "slow:MS[:VERB]", "split[:MS][:VERB]".
bool ParseFault(const std::string& text, FaultSpec* fault, std::string* error);
std::string FaultName(const FaultSpec& fault);

// The fault in force and how many more requests it applies to (-1: until changed).
struct FaultPlan {
    FaultSpec fault;
    int remaining = -1;
};

// The fault this request gets, counting it against `remaining`; a spent plan returns to none.
// `verb` is empty while the request has not been read yet (only unfiltered faults apply then).
FaultSpec TakeFault(FaultPlan* plan, const std::string& verb);

// Whether the fault acts before the request is read (unfiltered drop, noaccept).
bool ActsBeforeReading(const FaultSpec& fault);
