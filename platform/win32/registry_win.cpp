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
#include "settings/policy.h"

namespace {

const char kSettingsKey[] = "Software\\Vorna\\AuthUtility";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunValueName[] = "VORNA Auth Utility";

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

// Where policies are looked for, in order. Policies is shared by both registry views on 64-bit
// Windows, yet management tools have been seen writing under WOW6432Node: the 64-bit view is read
// first, then the 32-bit one (the same key where there is only one).
static const struct {
    HKEY root;
    REGSAM view;
    const char* where;
    bool machine;
} kPolicySources[] = {
    {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "HKLM", true},
    {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "HKLM (WOW6432Node)", true},
    {HKEY_CURRENT_USER, 0, "HKCU", false},
};

// One value as the platform hands it to the core; sizes and types it does not take read as
// kValueOther, so that the core can say why it ignores them.
static void ReadPolicyValue(HKEY key, const char* name, const char* where, PlatPolicyValue* out) {
    std::wstring wideName = WideFromAgent(name);
    DWORD regType = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key, wideName.c_str(), nullptr, &regType, nullptr, &size) != ERROR_SUCCESS)
        return;
    out->where = where;
    out->type = kValueOther;
    if (regType == REG_DWORD && size == sizeof(DWORD)) {
        DWORD data = 0;
        if (RegQueryValueExW(key, wideName.c_str(), nullptr, &regType,
                             reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
            regType == REG_DWORD) {
            out->type = kValueDword;
            out->number = data;
        }
        return;
    }
    if ((regType != REG_SZ && regType != REG_EXPAND_SZ) || size > 4 * kPolicyTextSize) return;
    std::vector<wchar_t> wide(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = ByteCount(wide.size() - 1);
    if (RegQueryValueExW(key, wideName.c_str(), nullptr, &regType,
                         reinterpret_cast<BYTE*>(wide.data()), &got) != ERROR_SUCCESS)
        return;
    size_t units = got / sizeof(wchar_t);
    while (units > 0 && wide[units - 1] == L'\0')
        units--;
    std::string text = AgentFromWide(wide.data(), units);
    if (text.size() >= kPolicyTextSize || text.find('\0') != std::string::npos) return;
    memcpy(out->text, text.c_str(), text.size() + 1);
    out->type = kValueString;
}

void PlatLoadPolicy(const char* const* names, int count, PlatPolicyRecord* record) {
    LoadPolicyAt(kPolicyKey, names, count, record);
}

void LoadPolicyAt(const char* path, const char* const* names, int count, PlatPolicyRecord* record) {
    memset(record, 0, sizeof *record);
    if (!path || !names || count < 0 || count > kPolicyMaxValues) return;
    for (const auto& source : kPolicySources) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(source.root, WideFromAgent(path).c_str(), 0,
                          KEY_QUERY_VALUE | source.view, &key) != ERROR_SUCCESS)
            continue;
        PlatPolicyValue* values = source.machine ? record->machine : record->user;
        for (int i = 0; i < count; ++i) {
            // The first source holding a value is the one that counts.
            if (values[i].type == kValueNone)
                ReadPolicyValue(key, names[i], source.where, &values[i]);
        }
        RegCloseKey(key);
    }
}
