#include "settings/policy.h"

#include <cstring>

#include "core/agent_state.h"
#include "settings/store.h"
#include "ui/tray.h"

void ApplyRememberPolicy() {
    MachinePolicy policy;
    memset(&policy, 0, sizeof policy);
    PlatLoadPolicy(&policy);
    if (!policy.noSaveData) return;
    gAgent.rememberForbidden = true;
    static StoredSettings stored;
    memset(&stored, 0, sizeof stored);
    uint32_t off = 0;
    StoredValue& saveData = stored.values[kStoredSaveData];
    saveData.action = kStoredWrite;
    saveData.type = kValueDword;
    saveData.size = sizeof off;
    memcpy(saveData.data, &off, sizeof off);
    stored.values[kStoredLogin].action = kStoredDelete;
    stored.values[kStoredPass].action = kStoredDelete;
    PlatSaveSettings(stored);
    gAgent.useSavedPassword = false;
    LogonForm& form = gAgent.view.form;
    form.login[0] = '\0';
    form.passwordRemembered = false;
    form.remember = false;
    form.rememberAllowed = false;
    ShowLogonForm();
}
