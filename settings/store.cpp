#include "settings/store.h"

#include <cstring>

#include "core/agent_state.h"
#include "res/resource_ids.h"
#include "ui/texts.h"

const char kSettingsKey[] = "Software\\Vorna\\AuthUtility";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunValueName[] = "VORNA Auth Utility";

namespace {

const uint32_t kLoginReadLimit = 1024;

// A flag stored as a 4-byte REG_DWORD; anything else counts as absent.
bool ReadFlag(PlatKey key, const char* name, bool* flag) {
    uint32_t value = 0;
    uint32_t size = sizeof value;
    PlatValueType type = kValueNone;
    if (!PlatRegQuery(key, name, &value, &size, &type)) return false;
    if (type != kValueDword || size != sizeof value) return false;
    *flag = value != 0;
    return true;
}

bool WriteFlag(PlatKey key, const char* name, bool flag) {
    uint32_t value = flag ? 1 : 0;
    return PlatRegSet(key, name, kValueDword, &value, sizeof value);
}

// The login, if it is a string that fits blockSize bytes (and never more than 1024).
bool ReadLogin(PlatKey key, char* login, size_t size) {
    uint32_t limit = static_cast<uint32_t>(gAgent.blockSize);
    if (limit > kLoginReadLimit) limit = kLoginReadLimit;
    if (limit > size - 1) limit = static_cast<uint32_t>(size - 1);
    PlatValueType type = kValueNone;
    if (!PlatRegQuery(key, "login", login, &limit, &type)) return false;
    login[limit] = '\0';
    return type == kValueString;
}

// The password block only when it is exactly one block of ciphertext.
bool ReadPasswordBlock(PlatKey key) {
    uint8_t block[1024];
    uint32_t size = static_cast<uint32_t>(gAgent.blockSize);
    if (size > sizeof block) return false;
    PlatValueType type = kValueNone;
    if (!PlatRegQuery(key, "pass", block, &size, &type)) return false;
    if (type != kValueBinary || size != static_cast<uint32_t>(gAgent.blockSize)) return false;
    memcpy(gAgent.savedPasswordBlock, block, size);
    return true;
}

}  // namespace

void LoadSettings() {
    PlatKey key = PlatRegCreateKey(kSettingsKey);
    ReadFlag(key, "runonwinlogon", &gAgent.runAtLogon);
    // Notifications are on unless the user stored 0.
    gAgent.notifyEnabled = true;
    ReadFlag(key, "notify", &gAgent.notifyEnabled);
    bool saved = false;
    ReadFlag(key, "savedata", &saved);
    gAgent.useSavedPassword = false;
    if (saved) {
        char login[kLoginReadLimit + 1] = {};
        if (ReadLogin(key, login, sizeof login))
            PlatSetItemText(gAgent.mainWindow, IDC_LOGIN, login);
        // Without a usable block there is nothing to log on with: the user types the password.
        saved = ReadPasswordBlock(key);
        if (saved) {
            gAgent.useSavedPassword = true;
            PlatSetItemText(gAgent.mainWindow, IDC_PASSWORD, "password");
        }
    }
    PlatSetItemChecked(gAgent.mainWindow, IDC_REMEMBER, saved);
    PlatRegClose(key);
}

int SaveSettings() {
    PlatKey key = PlatRegCreateKey(kSettingsKey);
    // The machine's policy holds on every path that saves, not only on the check box.
    bool saved = !gAgent.rememberForbidden && gAgent.useSavedPassword &&
                 PlatIsItemChecked(gAgent.mainWindow, IDC_REMEMBER);
    bool written = key != nullptr && WriteFlag(key, "savedata", saved);
    if (saved) {
        char login[kLoginReadLimit] = {};
        PlatGetItemText(gAgent.mainWindow, IDC_LOGIN, login, sizeof login);
        written =
            PlatRegSet(key, "login", kValueString, login, static_cast<uint32_t>(strlen(login))) &&
            written;
        written = PlatRegSet(key, "pass", kValueBinary, gAgent.savedPasswordBlock,
                             static_cast<uint32_t>(gAgent.blockSize)) &&
                  written;
    } else {
        PlatRegDelete(key, "login");
        PlatRegDelete(key, "pass");
    }
    written = WriteFlag(key, "runonwinlogon", gAgent.runAtLogon) && written;
    PlatRegClose(key);
    // The user asked for something to be kept: a store that does not take it is said, not
    // passed over.
    gAgent.settingsSaveFailed = !written;
    if (!written) DebugPrint("%s", kTextSettingsNotSaved);
    PlatKey run = PlatRegCreateKey(kRunKey);
    // A program started from the Run key should not write to it while it runs, and security
    // tools flag repeated writes: the entry is touched only when it would change.
    PlatPathMatch entry = PlatRegMatchProgramPath(run, kRunValueName);
    if (gAgent.runAtLogon && entry != kPathSame) PlatRegSetProgramPath(run, kRunValueName);
    if (!gAgent.runAtLogon && entry != kPathAbsent) PlatRegDelete(run, kRunValueName);
    PlatRegClose(run);
    return 0;
}
