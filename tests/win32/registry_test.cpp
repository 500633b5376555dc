// The settings store against the real registry, in a scratch key of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/registry_win.h"
#include "wine_test_util.h"

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = "Software\\VornaAgentTests\\" + UniqueName("registry");
        memset(&stored, 0, sizeof stored);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()); }
    // Marks value `name` to be written with these bytes.
    void Mark(StoredName name, PlatValueType type, const std::string& bytes) {
        StoredValue& value = stored.values[name];
        value.action = kStoredWrite;
        value.type = type;
        value.size = static_cast<uint32_t>(bytes.size());
        memcpy(value.data, bytes.data(), bytes.size());
    }
    // What the next start of the agent reads.
    StoredSettings Load() {
        static StoredSettings loaded;
        memset(&loaded, 0, sizeof loaded);
        for (StoredValue& value : loaded.values)
            memset(value.data, '#', sizeof value.data);
        EXPECT_TRUE(LoadSettingsAt(path.c_str(), &loaded));
        return loaded;
    }
    // Plants a value as another program (or an older agent) may have left it.
    void Plant(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, path.c_str(), &key));
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    std::string path;
    StoredSettings stored;
};

struct Shape {
    const char* what;
    StoredName name;
    PlatValueType type;
    std::string bytes;
};

// The shapes the settings store writes: flags, the login without its NUL, the password block.
TEST_F(RegistryTest, ValuesComeBackWithTheirTypeAndSize) {
    std::string block(128, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(255 - i);
    const DWORD one = 1;
    const Shape shapes[] = {
        {"dword flag", kStoredSaveData, kValueDword,
         std::string(reinterpret_cast<const char*>(&one), 4)},
        {"login without NUL", kStoredLogin, kValueString, "ivanov"},
        {"cyrillic login", kStoredLogin, kValueString, "Пользователь"},
        {"string with NUL", kStoredLogin, kValueString, std::string("abc\0", 4)},
        {"rsa block", kStoredPass, kValueBinary, block},
        {"empty binary", kStoredPass, kValueBinary, ""},
    };
    for (const Shape& v : shapes) {
        memset(&stored, 0, sizeof stored);
        Mark(v.name, v.type, v.bytes);
        ASSERT_TRUE(SaveSettingsAt(path.c_str(), stored)) << v.what;
        StoredSettings loaded = Load();
        const StoredValue& got = loaded.values[v.name];
        ASSERT_TRUE(got.present) << v.what;
        EXPECT_EQ(v.type, got.type) << v.what;
        std::string bytes(reinterpret_cast<const char*>(got.data), got.size);
        // A string stored without its NUL may come back with one added.
        if (v.type == kValueString && bytes.size() == v.bytes.size() + 1 && bytes.back() == '\0')
            bytes.pop_back();
        EXPECT_EQ(v.bytes, bytes) << v.what;
        EXPECT_EQ('#', got.data[got.size]) << v.what << ": wrote past the value";
    }
}

// A value larger than the record holds is absent, whatever its type; the others still load.
TEST_F(RegistryTest, ValuesPastTheRecordsSizeAreAbsent) {
    const std::string fits(kStoredValueSize, '\x42');
    const std::string past(kStoredValueSize + 1, '\x42');
    const std::wstring longText(kStoredValueSize + 1, L'я');
    // (A string of exactly the record's size is left out: whether the registry wants room for a
    // NUL varies.)
    const std::wstring text(kStoredValueSize / 2, L'я');
    struct Case {
        const char* what;
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD size;
        StoredName stored;
        bool present;
    } cases[] = {
        {"binary of the record's size", L"pass", REG_BINARY, fits.data(),
         static_cast<DWORD>(fits.size()), kStoredPass, true},
        {"binary one byte more", L"pass", REG_BINARY, past.data(), static_cast<DWORD>(past.size()),
         kStoredPass, false},
        {"string of half the record's size", L"login", REG_SZ, text.data(),
         static_cast<DWORD>(text.size() * 2), kStoredLogin, true},
        {"string one character more", L"login", REG_SZ, longText.data(),
         static_cast<DWORD>(longText.size() * 2), kStoredLogin, false},
    };
    const DWORD zero = 0;
    for (const Case& c : cases) {
        Plant(L"savedata", REG_DWORD, &zero, sizeof zero);
        Plant(c.name, c.type, c.data, c.size);
        StoredSettings loaded = Load();
        EXPECT_EQ(c.present, loaded.values[c.stored].present) << c.what;
        // A string stored without its NUL may come back with one added.
        const uint32_t want = c.type == REG_SZ ? c.size / 2 : c.size;
        const uint32_t got = loaded.values[c.stored].size;
        const bool sizeRight = got == want || (c.type == REG_SZ && got == want + 1);
        EXPECT_TRUE(!c.present || sizeRight) << c.what << ": " << got << " bytes";
        EXPECT_TRUE(loaded.values[kStoredSaveData].present) << c.what;
        EXPECT_FALSE(loaded.values[kStoredNotify].present) << c.what << ": never written";
    }
}

TEST_F(RegistryTest, DeleteRemovesOnlyThatValueAndAnAbsentOneIsNoFailure) {
    const DWORD zero = 0;
    Mark(kStoredLogin, kValueString, "x");
    Mark(kStoredSaveData, kValueDword, std::string(reinterpret_cast<const char*>(&zero), 4));
    ASSERT_TRUE(SaveSettingsAt(path.c_str(), stored));
    memset(&stored, 0, sizeof stored);
    stored.values[kStoredLogin].action = kStoredDelete;
    EXPECT_TRUE(SaveSettingsAt(path.c_str(), stored));
    EXPECT_TRUE(SaveSettingsAt(path.c_str(), stored)) << "already gone";
    StoredSettings loaded = Load();
    EXPECT_FALSE(loaded.values[kStoredLogin].present);
    ASSERT_TRUE(loaded.values[kStoredSaveData].present) << "kept as it was";
    EXPECT_EQ(4u, loaded.values[kStoredSaveData].size);
}

}  // namespace
