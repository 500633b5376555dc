// Values under HKEY_CURRENT_USER.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

static HKEY ToKey(PlatKey key) { return static_cast<HKEY>(key); }

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
    if (!path || RegCreateKeyA(HKEY_CURRENT_USER, path, &key) != ERROR_SUCCESS) return nullptr;
    return key;
}

bool PlatRegQuery(PlatKey key, const char* name, void* data, uint32_t* size, PlatValueType* type) {
    if (!key || !data || !size) return false;
    // A read that does not fit may leave part of the value behind, so it goes to a scratch copy.
    DWORD capacity = *size;
    BYTE* scratch = static_cast<BYTE*>(malloc(capacity ? capacity : 1));
    if (!scratch) return false;
    DWORD regType = REG_NONE;
    DWORD got = capacity;
    bool ok =
        RegQueryValueExA(ToKey(key), name, nullptr, &regType, scratch, &got) == ERROR_SUCCESS &&
        got <= capacity;
    if (ok) {
        memcpy(data, scratch, got);
        *size = got;
        if (type) *type = FromRegType(regType);
    }
    free(scratch);
    return ok;
}

bool PlatRegSet(PlatKey key, const char* name, PlatValueType type, const void* data,
                uint32_t size) {
    DWORD regType;
    if (!key || (!data && size) || !ToRegType(type, &regType)) return false;
    return RegSetValueExA(ToKey(key), name, 0, regType, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

bool PlatRegDelete(PlatKey key, const char* name) {
    return key && RegDeleteValueA(ToKey(key), name) == ERROR_SUCCESS;
}

void PlatRegClose(PlatKey key) {
    if (key) RegCloseKey(ToKey(key));
}

bool PlatReadMachineDword(const char* path, const char* name, uint32_t* value) {
    HKEY key = nullptr;
    if (!path || !name || !value ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    const bool ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                                     &size) == ERROR_SUCCESS &&
                    type == REG_DWORD && size == sizeof data;
    RegCloseKey(key);
    if (ok) *value = data;
    return ok;
}
