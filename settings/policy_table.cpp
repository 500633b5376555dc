// The policies the agent reads, apart from what it does with them, so that the file readers and
// the Group Policy template's test can use the table alone.
#include "settings/policy.h"

// Under Policies, so that users cannot change it.
const char kPolicyKey[] = "Software\\Policies\\Vorna\\AuthUtility";

const PolicySpec kPolicies[kPolicyCount] = {
    {kPolicyNoSaveData, "nosavedata", kPolicyFlag, true, 0, 0},
    {kPolicyNotify, "notify", kPolicyFlag, true, 0, 0},
    {kPolicyLogFile, "logfile", kPolicyPath, true, 0, 0},
    {kPolicyAddress, "address", kPolicyAddressText, false, 0, 0},
    {kPolicyPort, "port", kPolicyNumber, false, 1, 65535},
};
