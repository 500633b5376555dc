// The settings, the Run entry and the machine's policy in the registry. Per-user values go
// through the wide calls: string values are the agent's CP1251 text converted explicitly, so
// what is stored does not depend on the system's code page.
#include "platform/win32/registry_win.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/text_win.h"

namespace {

const char kSettingsKey[] = "Software\\Vorna\\AuthUtility";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunValueName[] = "VORNA Auth Utility";
// Under Policies, so that 32- and 64-bit Windows share it and users cannot change it.
const char kPolicyKey[] = "Software\\Policies\\Vorna\\AuthUtility";
const char kPolicyNoSaveValue[] = "nosavedata";

// The order a save writes in, as every earlier version of the agent did.
const StoredName kSaveOrder[] = {kStoredSaveData, kStoredLogin, kStoredPass, kStoredRunAtLogon,
                                 kStoredNotify};
static_assert(sizeof kSaveOrder / sizeof kSaveOrder[0] == kStoredCount, "every value once");

// The value types the agent reads and writes; any other type reads as kValueNone.
const struct {
    PlatValueType type;
    DWORD regType;
} kValueTypes[] = {
    {kValueNone, REG_NONE},
    {kValueString, REG_SZ},
    {kValueBinary, REG_BINARY},
    {kValueDword, REG_DWORD},
};

PlatValueType FromRegType(DWORD regType) {
    for (const auto& t : kValueTypes)
        if (t.regType == regType) return t.type;
    return kValueNone;
}

bool ToRegType(PlatValueType type, DWORD* regType) {
    for (const auto& t : kValueTypes) {
        if (t.type == type) {
            *regType = t.regType;
            return true;
        }
    }
    return false;
}

DWORD ByteCount(size_t units) {
    return static_cast<DWORD>(units) * static_cast<DWORD>(sizeof(wchar_t));
}

// Opens the key, creating it if absent; nullptr on failure.
HKEY OpenUserKey(const char* path) {
    HKEY key = nullptr;
    if (!path ||
        RegCreateKeyW(HKEY_CURRENT_USER, WideFromAgent(path).c_str(), &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// A value that does not fit kStoredValueSize bytes (after the conversion of a string) stays
// absent; a read that does not fit may leave part of the value behind, so it goes to a scratch
// copy with room for as many UTF-16 units as the record has bytes.
void ReadValue(HKEY key, const char* name, StoredValue* value) {
    std::vector<BYTE> scratch(kStoredValueSize * 2 + 2);
    DWORD regType = REG_NONE;
    DWORD got = kStoredValueSize * 2;
    if (RegQueryValueExW(key, WideFromAgent(name).c_str(), nullptr, &regType, scratch.data(),
                         &got) != ERROR_SUCCESS)
        return;
    std::string bytes;
    if (regType == REG_SZ) {
        bytes = AgentFromWide(reinterpret_cast<const wchar_t*>(scratch.data()), got / 2);
    } else {
        bytes.assign(reinterpret_cast<const char*>(scratch.data()), got);
    }
    if (bytes.size() > kStoredValueSize) return;
    value->present = true;
    value->type = FromRegType(regType);
    value->size = static_cast<uint32_t>(bytes.size());
    memcpy(value->data, bytes.data(), bytes.size());
}

// Strings are written without a terminating NUL, as every earlier version of the agent did.
bool WriteValue(HKEY key, const char* name, const StoredValue& value) {
    DWORD regType;
    if (value.size > kStoredValueSize || !ToRegType(value.type, &regType)) return false;
    std::wstring wideName = WideFromAgent(name);
    if (regType == REG_SZ) {
        std::wstring text = WideFromAgent(reinterpret_cast<const char*>(value.data), value.size);
        return RegSetValueExW(key, wideName.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(text.data()),
                              ByteCount(text.size())) == ERROR_SUCCESS;
    }
    return RegSetValueExW(key, wideName.c_str(), 0, regType, value.data, value.size) ==
           ERROR_SUCCESS;
}

// A value that is not there is as good as deleted.
bool DeleteValue(HKEY key, const char* name) {
    LONG result = RegDeleteValueW(key, WideFromAgent(name).c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool LoadSettingsAt(const char* path, StoredSettings* settings) {
    if (!settings) return false;
    HKEY key = OpenUserKey(path);
    if (!key) return false;
    for (int i = 0; i < kStoredCount; i++)
        ReadValue(key, kStoredNames[i], &settings->values[i]);
    RegCloseKey(key);
    return true;
}

bool SaveSettingsAt(const char* path, const StoredSettings& settings) {
    HKEY key = OpenUserKey(path);
    if (!key) return false;
    bool written = true;
    for (StoredName name : kSaveOrder) {
        const StoredValue& value = settings.values[name];
        if (value.action == kStoredWrite) {
            written = WriteValue(key, kStoredNames[name], value) && written;
        } else if (value.action == kStoredDelete) {
            written = DeleteValue(key, kStoredNames[name]) && written;
        }
    }
    RegCloseKey(key);
    return written;
}

bool PlatLoadSettings(StoredSettings* settings) { return LoadSettingsAt(kSettingsKey, settings); }

bool PlatSaveSettings(const StoredSettings& settings) {
    return SaveSettingsAt(kSettingsKey, settings);
}

// The program path is compared and written in UTF-16 as Windows has it: a character the agent's
// code page lacks (a user name with "ü" in the profile path) would otherwise name another file.
static AutostartState MatchProgramPath(HKEY key, const std::wstring& name) {
    DWORD regType = REG_NONE;
    DWORD size = 0;
    LONG found = RegQueryValueExW(key, name.c_str(), nullptr, &regType, nullptr, &size);
    if (found == ERROR_FILE_NOT_FOUND) return kAutostartAbsent;
    std::wstring path;
    if (found != ERROR_SUCCESS || regType != REG_SZ || !ProgramPathWide(&path))
        return kAutostartOther;
    std::vector<wchar_t> stored(size / sizeof(wchar_t) + 1);
    DWORD got = ByteCount(stored.size());
    if (RegQueryValueExW(key, name.c_str(), nullptr, &regType,
                         reinterpret_cast<BYTE*>(stored.data()), &got) != ERROR_SUCCESS)
        return kAutostartOther;
    size_t units = got / sizeof(wchar_t);
    while (units > 0 && stored[units - 1] == L'\0')
        units--;
    return path.compare(0, path.size(), stored.data(), units) == 0 ? kAutostartOurs
                                                                   : kAutostartOther;
}

AutostartState PlatAutostartState() {
    HKEY run = OpenUserKey(kRunKey);
    if (!run) return kAutostartAbsent;
    AutostartState state = MatchProgramPath(run, WideFromAgent(kRunValueName));
    RegCloseKey(run);
    return state;
}

bool PlatSetAutostart(bool on) {
    HKEY run = OpenUserKey(kRunKey);
    if (!run) return false;
    std::wstring name = WideFromAgent(kRunValueName);
    std::wstring path;
    bool done;
    if (!on) {
        LONG result = RegDeleteValueW(run, name.c_str());
        done = result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    } else {
        // Unquoted and without a terminating NUL, as every earlier version of the agent did.
        done = ProgramPathWide(&path) && RegSetValueExW(run, name.c_str(), 0, REG_SZ,
                                                        reinterpret_cast<const BYTE*>(path.data()),
                                                        ByteCount(path.size())) == ERROR_SUCCESS;
    }
    RegCloseKey(run);
    return done;
}

// Read only, never created: an administrator sets it under HKEY_LOCAL_MACHINE.
void PlatLoadPolicy(MachinePolicy* policy) {
    HKEY key = nullptr;
    if (!policy ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    const bool ok = RegQueryValueExA(key, kPolicyNoSaveValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
                    type == REG_DWORD && size == sizeof data;
    RegCloseKey(key);
    if (ok && data != 0) policy->noSaveData = true;
}
