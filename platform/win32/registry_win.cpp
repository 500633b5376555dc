// Values under HKEY_CURRENT_USER, through the wide calls: string values are the agent's CP1251
// text converted explicitly, so what is stored does not depend on the system's code page.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/text_win.h"

static HKEY ToKey(PlatKey key) { return static_cast<HKEY>(key); }

static DWORD ByteCount(size_t units) {
    return static_cast<DWORD>(units) * static_cast<DWORD>(sizeof(wchar_t));
}

// The value types the agent reads and writes; any other type reads as kValueOther.
static const struct {
    PlatValueType type;
    DWORD regType;
} kValueTypes[] = {
    {kValueNone, REG_NONE},
    {kValueString, REG_SZ},
    {kValueBinary, REG_BINARY},
    {kValueDword, REG_DWORD},
};

static PlatValueType FromRegType(DWORD regType) {
    for (const auto& t : kValueTypes)
        if (t.regType == regType) return t.type;
    return kValueOther;
}

static bool ToRegType(PlatValueType type, DWORD* regType) {
    for (const auto& t : kValueTypes) {
        if (t.type == type) {
            *regType = t.regType;
            return true;
        }
    }
    return false;
}

PlatKey PlatRegCreateKey(const char* path) {
    HKEY key = nullptr;
    if (!path ||
        RegCreateKeyW(HKEY_CURRENT_USER, WideFromAgent(path).c_str(), &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool PlatRegQuery(PlatKey key, const char* name, void* data, uint32_t* size, PlatValueType* type) {
    if (!key || !data || !size) return false;
    // A read that does not fit may leave part of the value behind, so it goes to a scratch copy,
    // room for as many UTF-16 units as the caller has bytes.
    DWORD capacity = *size;
    if (capacity > 0x40000000) return false;
    std::vector<BYTE> scratch(capacity * 2 + 2);
    DWORD regType = REG_NONE;
    DWORD got = capacity * 2;
    if (RegQueryValueExW(ToKey(key), WideFromAgent(name).c_str(), nullptr, &regType, scratch.data(),
                         &got) != ERROR_SUCCESS)
        return false;
    std::string value;
    if (regType == REG_SZ) {
        value = AgentFromWide(reinterpret_cast<const wchar_t*>(scratch.data()), got / 2);
    } else {
        value.assign(reinterpret_cast<const char*>(scratch.data()), got);
    }
    if (value.size() > capacity) return false;
    memcpy(data, value.data(), value.size());
    *size = static_cast<uint32_t>(value.size());
    if (type) *type = FromRegType(regType);
    return true;
}

bool PlatRegSet(PlatKey key, const char* name, PlatValueType type, const void* data,
                uint32_t size) {
    DWORD regType;
    if (!key || (!data && size) || !ToRegType(type, &regType)) return false;
    std::wstring wideName = WideFromAgent(name);
    if (regType == REG_SZ) {
        std::wstring text = WideFromAgent(static_cast<const char*>(data), size);
        return RegSetValueExW(ToKey(key), wideName.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(text.data()),
                              ByteCount(text.size())) == ERROR_SUCCESS;
    }
    return RegSetValueExW(ToKey(key), wideName.c_str(), 0, regType, static_cast<const BYTE*>(data),
                          size) == ERROR_SUCCESS;
}

bool PlatRegDelete(PlatKey key, const char* name) {
    return key && RegDeleteValueW(ToKey(key), WideFromAgent(name).c_str()) == ERROR_SUCCESS;
}

void PlatRegClose(PlatKey key) {
    if (key) RegCloseKey(ToKey(key));
}

// The program path is compared and written in UTF-16 as Windows has it: a character the agent's
// code page lacks (a user name with "ü" in the profile path) would otherwise name another file.
PlatPathMatch PlatRegMatchProgramPath(PlatKey key, const char* name) {
    if (!key) return kPathAbsent;
    std::wstring wideName = WideFromAgent(name);
    DWORD regType = REG_NONE;
    DWORD size = 0;
    LONG found = RegQueryValueExW(ToKey(key), wideName.c_str(), nullptr, &regType, nullptr, &size);
    if (found == ERROR_FILE_NOT_FOUND) return kPathAbsent;
    std::wstring path;
    if (found != ERROR_SUCCESS || regType != REG_SZ || !ProgramPathWide(&path)) return kPathOther;
    std::vector<wchar_t> stored(size / sizeof(wchar_t) + 1);
    DWORD got = ByteCount(stored.size());
    if (RegQueryValueExW(ToKey(key), wideName.c_str(), nullptr, &regType,
                         reinterpret_cast<BYTE*>(stored.data()), &got) != ERROR_SUCCESS)
        return kPathOther;
    size_t units = got / sizeof(wchar_t);
    while (units > 0 && stored[units - 1] == L'\0')
        units--;
    return path.compare(0, path.size(), stored.data(), units) == 0 ? kPathSame : kPathOther;
}

bool PlatRegSetProgramPath(PlatKey key, const char* name) {
    std::wstring path;
    if (!key || !ProgramPathWide(&path)) return false;
    // Stored without a terminating NUL, as every earlier version of the agent did.
    return RegSetValueExW(ToKey(key), WideFromAgent(name).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(path.data()),
                          ByteCount(path.size())) == ERROR_SUCCESS;
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

void PlatLoadPolicy(const char* path, const char* const* names, int count,
                    PlatPolicyRecord* record) {
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
