// Prints the agent's policy table for the Group Policy template's test, one value a line:
// key, name, registry type, kind, per user (0/1), minimum, maximum, longest text.
#include <cstdio>

#include "core/agent_state.h"
#include "settings/policy.h"

namespace {

const char* KindName(PolicyKind kind) {
    switch (kind) {
        case kPolicyFlag: return "flag";
        case kPolicyNumber: return "number";
        case kPolicyPath: return "path";
        case kPolicyAddressText: return "address";
    }
    return "?";
}

}  // namespace

int main() {
    for (const PolicySpec& entry : kPolicies) {
        const bool text = entry.kind == kPolicyPath || entry.kind == kPolicyAddressText;
        const size_t longest = entry.kind == kPolicyPath          ? kPolicyTextSize - 1
                               : entry.kind == kPolicyAddressText ? kAddressSize - 1
                                                                  : 0;
        printf("%s\t%s\t%s\t%s\t%d\t%u\t%u\t%zu\n", kPolicyKey, entry.name,
               text ? "string" : "dword", KindName(entry.kind), entry.perUser ? 1 : 0,
               static_cast<unsigned>(entry.min), static_cast<unsigned>(entry.max), longest);
    }
    return 0;
}
