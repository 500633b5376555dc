#include "settings/store.h"

#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

const uint32_t kLoginReadLimit = 1024;

// A flag stored as a 4-byte DWORD; anything else counts as absent.
bool ReadFlag(const StoredValue& value, bool* flag) {
    if (!value.present || value.type != kValueDword || value.size != sizeof(uint32_t)) return false;
    uint32_t number = 0;
    memcpy(&number, value.data, sizeof number);
    *flag = number != 0;
    return true;
}

void WriteFlag(StoredValue* value, bool flag) {
    uint32_t number = flag ? 1 : 0;
    value->action = kStoredWrite;
    value->type = kValueDword;
    value->size = sizeof number;
    memcpy(value->data, &number, sizeof number);
}

void WriteBytes(StoredValue* value, PlatValueType type, const void* data, uint32_t size) {
    value->action = kStoredWrite;
    value->type = type;
    value->size = size;
    memcpy(value->data, data, size);
}

// The login, if it is a string that fits blockSize bytes (and never more than 1024).
bool ReadLogin(const StoredValue& value, char* login, size_t size) {
    uint32_t limit = static_cast<uint32_t>(gAgent.blockSize);
    if (limit > kLoginReadLimit) limit = kLoginReadLimit;
    if (limit > size - 1) limit = static_cast<uint32_t>(size - 1);
    if (!value.present || value.size > limit) return false;
    memcpy(login, value.data, value.size);
    login[value.size] = '\0';
    return value.type == kValueString;
}

// The password block only when it is exactly one block of ciphertext.
bool ReadPasswordBlock(const StoredValue& value) {
    if (!value.present || value.type != kValueBinary ||
        value.size != static_cast<uint32_t>(gAgent.blockSize))
        return false;
    memcpy(gAgent.savedPasswordBlock, value.data, value.size);
    return true;
}

}  // namespace

void LoadSettings() {
    static StoredSettings stored;
    memset(&stored, 0, sizeof stored);
    PlatLoadSettings(&stored);
    ReadFlag(stored.values[kStoredRunAtLogon], &gAgent.runAtLogon);
    // Notifications are on unless the user stored 0.
    gAgent.notifyEnabled = true;
    ReadFlag(stored.values[kStoredNotify], &gAgent.notifyEnabled);
    bool saved = false;
    ReadFlag(stored.values[kStoredSaveData], &saved);
    gAgent.useSavedPassword = false;
    LogonForm& form = gAgent.view.form;
    form.login[0] = '\0';
    if (saved) {
        char login[kLoginReadLimit + 1] = {};
        if (ReadLogin(stored.values[kStoredLogin], login, sizeof login))
            CopyBounded(form.login, sizeof form.login, login);
        // Without a usable block there is nothing to log on with: the user types the password.
        saved = ReadPasswordBlock(stored.values[kStoredPass]);
        if (saved) gAgent.useSavedPassword = true;
    }
    form.passwordRemembered = saved;
    form.remember = saved;
    form.rememberAllowed = true;
    gAgent.view.startAtLogon = gAgent.runAtLogon;
    ShowLogonForm();
}

int SaveSettings() {
    static StoredSettings stored;
    memset(&stored, 0, sizeof stored);
    // The logon window's box and login as they are now; a front end without a window keeps them
    // in the view.
    LogonForm& form = gAgent.view.form;
    char login[kFormLoginSize] = {};
    bool remember = form.remember;
    if (!PlatReadLogonForm(login, sizeof login, nullptr, 0, &remember))
        CopyBounded(login, sizeof login, form.login);
    // The machine's policy holds on every path that saves, not only on the check box.
    bool saved = !gAgent.rememberForbidden && gAgent.useSavedPassword && remember;
    WriteFlag(&stored.values[kStoredSaveData], saved);
    if (saved) {
        WriteBytes(&stored.values[kStoredLogin], kValueString, login,
                   static_cast<uint32_t>(strlen(login)));
        WriteBytes(&stored.values[kStoredPass], kValueBinary, gAgent.savedPasswordBlock,
                   static_cast<uint32_t>(gAgent.blockSize));
    } else {
        stored.values[kStoredLogin].action = kStoredDelete;
        stored.values[kStoredPass].action = kStoredDelete;
    }
    WriteFlag(&stored.values[kStoredRunAtLogon], gAgent.runAtLogon);
    bool written = PlatSaveSettings(stored);
    // A program started at logon should not rewrite its entry while it runs, and security tools
    // flag repeated writes: the entry is touched only when it would change.
    AutostartState entry = PlatAutostartState();
    if (gAgent.runAtLogon && entry != kAutostartOurs) PlatSetAutostart(true);
    if (!gAgent.runAtLogon && entry != kAutostartAbsent) PlatSetAutostart(false);
    gAgent.view.startAtLogon = gAgent.runAtLogon;
    gAgent.view.startAtLogonLocked = gAgent.autorunLocked;
    // The user asked for something to be kept: a store that does not take it is said, not
    // passed over.
    gAgent.settingsSaveFailed = !written;
    if (!written) DebugPrint("%s", kTextSettingsNotSaved);
    return 0;
}
