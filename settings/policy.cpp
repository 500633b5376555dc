#include "settings/policy.h"

#include "core/agent_state.h"
#include "res/resource_ids.h"
#include "settings/store.h"

// Under Policies, so that 32- and 64-bit Windows share it and users cannot change it.
const char kPolicyKey[] = "Software\\Policies\\Vorna\\AuthUtility";
const char kPolicyNoSaveValue[] = "nosavedata";

void ApplyRememberPolicy() {
    uint32_t forbidden = 0;
    if (!PlatReadMachineDword(kPolicyKey, kPolicyNoSaveValue, &forbidden) || forbidden == 0) return;
    gAgent.rememberForbidden = true;
    PlatKey key = PlatRegCreateKey(kSettingsKey);
    uint32_t off = 0;
    PlatRegSet(key, "savedata", kValueDword, &off, sizeof off);
    PlatRegDelete(key, "login");
    PlatRegDelete(key, "pass");
    PlatRegClose(key);
    gAgent.useSavedPassword = false;
    PlatSetItemText(gAgent.mainWindow, IDC_LOGIN, "");
    PlatSetItemText(gAgent.mainWindow, IDC_PASSWORD, "");
    PlatSetItemChecked(gAgent.mainWindow, IDC_REMEMBER, false);
    PlatSetItemEnabled(gAgent.mainWindow, IDC_REMEMBER, false);
}
