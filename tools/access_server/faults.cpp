#include "tools/access_server/faults.h"

#include <cstdlib>
#include <vector>

namespace {

struct ModeName {
    FaultMode mode;
    const char* name;
    bool needsAmount;
    bool mayHaveAmount;
};

const ModeName kModes[] = {
    {kFaultNone, "none", false, false},         {kFaultSplit, "split", false, true},
    {kFaultClose, "close", false, false},       {kFaultSilent, "silent", false, false},
    {kFaultReset, "reset", false, false},       {kFaultOversize, "oversize", true, true},
    {kFaultSlow, "slow", true, true},           {kFaultDrop, "drop", false, false},
    {kFaultNoAccept, "noaccept", false, false},
};

const char* const kVerbs[] = {"LOGON", "PING", "GETINFO", "LOGOUT"};

std::vector<std::string> SplitColons(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) return parts;
        start = colon + 1;
    }
}

bool ParseAmount(const std::string& text, int* value) {
    if (text.empty() || text.size() > 7) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    *value = atoi(text.c_str());
    return true;
}

bool IsVerb(const std::string& text) {
    for (const char* verb : kVerbs) {
        if (text == verb) return true;
    }
    return false;
}

}  // namespace

bool ParseFault(const std::string& text, FaultSpec* fault, std::string* error) {
    const std::vector<std::string> parts = SplitColons(text);
    const ModeName* mode = nullptr;
    for (const ModeName& candidate : kModes) {
        if (parts[0] == candidate.name) mode = &candidate;
    }
    if (!mode) {
        *error = "unknown fault \"" + parts[0] +
                 "\" (none split close silent reset oversize:N slow:MS drop noaccept)";
        return false;
    }
    FaultSpec result;
    result.mode = mode->mode;
    result.amount = mode->mode == kFaultSplit ? kSplitPauseMs : 0;
    size_t next = 1;
    if (mode->mayHaveAmount && next < parts.size() && !IsVerb(parts[next])) {
        if (!ParseAmount(parts[next], &result.amount)) {
            *error = "fault " + parts[0] + ": \"" + parts[next] + "\" is not a number";
            return false;
        }
        ++next;
    } else if (mode->needsAmount) {
        *error = "fault " + parts[0] + " needs a number (" + parts[0] + ":N)";
        return false;
    }
    if (mode->mode == kFaultOversize && result.amount < 1) {
        *error = "fault oversize needs at least 1 byte";
        return false;
    }
    if (next < parts.size()) {
        if (!IsVerb(parts[next])) {
            *error = "fault " + parts[0] + ": \"" + parts[next] +
                     "\" is not a verb (LOGON PING GETINFO LOGOUT)";
            return false;
        }
        if (mode->mode == kFaultNoAccept || mode->mode == kFaultNone) {
            *error = "fault " + parts[0] + " cannot be limited to a verb";
            return false;
        }
        result.verb = parts[next++];
    }
    if (next < parts.size()) {
        *error = "fault \"" + text + "\": too many parts";
        return false;
    }
    *fault = result;
    return true;
}

std::string FaultName(const FaultSpec& fault) {
    std::string name = "none";
    for (const ModeName& candidate : kModes) {
        if (candidate.mode == fault.mode) name = candidate.name;
    }
    if (fault.mode == kFaultOversize || fault.mode == kFaultSlow || fault.mode == kFaultSplit) {
        name += ":" + std::to_string(fault.amount);
    }
    if (!fault.verb.empty()) name += ":" + fault.verb;
    return name;
}

bool ActsBeforeReading(const FaultSpec& fault) {
    return fault.mode == kFaultNoAccept || (fault.mode == kFaultDrop && fault.verb.empty());
}

FaultSpec TakeFault(FaultPlan* plan, const std::string& verb) {
    const FaultSpec& fault = plan->fault;
    if (fault.mode == kFaultNone || fault.mode == kFaultNoAccept) return FaultSpec();
    const bool beforeReading = verb.empty();
    if (beforeReading != ActsBeforeReading(fault)) return FaultSpec();
    if (!fault.verb.empty() && fault.verb != verb) return FaultSpec();
    FaultSpec taken = fault;
    if (plan->remaining > 0 && --plan->remaining == 0) *plan = FaultPlan();
    return taken;
}
