// PlatLoadPolicy against the real registry: which view and hive a value comes from, and what
// the agent cannot take (types, sizes), in scratch keys of their own.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/registry_win.h"
#include "wine_test_util.h"

namespace {

bool WindowsIs64Bit() {
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

class PolicyTest : public ::testing::Test {
  protected:
    void SetUp() override { path = "Software\\VornaAgentTests\\" + UniqueName("policy"); }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
        RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    }
    void Set(HKEY root, REGSAM view, const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0,
                                                 KEY_SET_VALUE | view, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size));
        RegCloseKey(key);
    }
    void SetText(HKEY root, REGSAM view, const char* name, DWORD type, const std::string& text) {
        Set(root, view, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    std::string path;
};

TEST_F(PolicyTest, ViewsHivesAndTypes) {
    const DWORD seven = 7;
    const DWORD eight = 8;
    const unsigned char twoBytes[2] = {1, 0};
    const unsigned long long wide = 1;
    // The 64-bit view wins over the 32-bit one; a value only in the 32-bit view still counts.
    Set(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "both", REG_DWORD, &seven, 4);
    Set(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "both", REG_DWORD, &eight, 4);
    Set(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "wow", REG_DWORD, &eight, 4);
    SetText(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "expand", REG_EXPAND_SZ,
            "%LOCALAPPDATA%\\VornaAgent\\agent.log");
    Set(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "short", REG_DWORD, twoBytes, 2);
    Set(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "qword", REG_QWORD, &wide, 8);
    SetText(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "long", REG_SZ, std::string(kPolicyTextSize, 'x'));
    SetText(HKEY_CURRENT_USER, 0, "user", REG_SZ, "10.1.2.3");
    SetText(HKEY_CURRENT_USER, 0, "both", REG_SZ, "the user's");

    const char* names[] = {"both", "wow", "expand", "short", "qword", "long", "user", "absent"};
    PlatPolicyRecord record;
    LoadPolicyAt(path.c_str(), names, 8, &record);
    const PlatPolicyValue* m = record.machine;
    const PlatPolicyValue* u = record.user;
    EXPECT_EQ(kValueDword, m[0].type);
    EXPECT_EQ(7u, m[0].number) << "the 64-bit view first";
    EXPECT_STREQ("HKLM", m[0].where);
    EXPECT_EQ(kValueDword, m[1].type);
    EXPECT_EQ(8u, m[1].number);
    EXPECT_STREQ(WindowsIs64Bit() ? "HKLM (WOW6432Node)" : "HKLM", m[1].where);
    EXPECT_EQ(kValueString, m[2].type);
    EXPECT_STREQ("%LOCALAPPDATA%\\VornaAgent\\agent.log", m[2].text) << "left unexpanded";
    EXPECT_EQ(kValueOther, m[3].type) << "a DWORD of two bytes";
    EXPECT_EQ(kValueOther, m[4].type) << "a QWORD";
    EXPECT_EQ(kValueOther, m[5].type) << "a text longer than the agent holds";
    EXPECT_EQ(kValueNone, m[6].type) << "a user's value is not the machine's";
    EXPECT_EQ(kValueString, u[6].type);
    EXPECT_STREQ("10.1.2.3", u[6].text);
    EXPECT_STREQ("HKCU", u[6].where);
    EXPECT_EQ(kValueString, u[0].type) << "the user's own value, beside the machine's";
    EXPECT_EQ(kValueNone, m[7].type);
    EXPECT_EQ(nullptr, m[7].where);
    EXPECT_EQ(kValueNone, u[7].type);
}

TEST_F(PolicyTest, NoKeyAndBadArgumentsGiveAnEmptyRecord) {
    const char* names[] = {"nosavedata"};
    PlatPolicyRecord record;
    memset(&record, 0x5a, sizeof record);
    LoadPolicyAt(path.c_str(), names, 1, &record);
    EXPECT_EQ(kValueNone, record.machine[0].type);
    EXPECT_EQ(kValueNone, record.user[0].type);
    memset(&record, 0x5a, sizeof record);
    LoadPolicyAt(path.c_str(), names, kPolicyMaxValues + 1, &record);
    EXPECT_EQ(kValueNone, record.machine[0].type) << "too many names";
}

}  // namespace
