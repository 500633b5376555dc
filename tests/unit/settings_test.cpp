#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/store.h"
#include "tests/unit/test_util.h"

using fake::world;

namespace {

const char kKey[] = "Software\\Vorna\\AuthUtility";
const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

fake::RegValue Dword(uint32_t v) {
    return {kValueDword, std::string(reinterpret_cast<char*>(&v), 4)};
}
fake::RegValue Sz(const std::string& s) { return {kValueString, s}; }
fake::RegValue Bin(const std::string& s) { return {kValueBinary, s}; }

std::map<std::string, fake::RegValue>& Values() { return world.registry[kKey]; }

class Settings : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(Settings, Load) {
    const std::string block(128, 'B');
    struct {
        const char* name;
        std::map<std::string, fake::RegValue> stored;
        bool runAtLogon, checked, useSaved;
        const char* login;
        const char* password;
    } cases[] = {
        {"no key at all", {}, false, false, false, "", ""},
        {"remembered",
         {{"savedata", Dword(1)},
          {"login", Sz("ivan")},
          {"pass", Bin(block)},
          {"runonwinlogon", Dword(1)}},
         true,
         true,
         true,
         "ivan",
         "password"},
        {"not remembered",
         {{"savedata", Dword(0)}, {"login", Sz("ivan")}, {"pass", Bin(block)}},
         false,
         false,
         false,
         "",
         ""},
        {"login longer than a block is not restored",
         {{"savedata", Dword(1)}, {"login", Sz(std::string(129, 'l'))}, {"pass", Bin(block)}},
         false,
         true,
         true,
         "",
         "password"},
        {"login of exactly a block",
         {{"savedata", Dword(1)}, {"login", Sz(std::string(128, 'l'))}, {"pass", Bin(block)}},
         false,
         true,
         true,
         "lllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllllll"
         "lllllllllllllllllllllllllllllllllllllll",
         "password"},
        {"pass absent",
         {{"savedata", Dword(1)}, {"login", Sz("ivan")}},
         false,
         false,
         false,
         "ivan",
         ""},
        {"pass shorter than a block",
         {{"savedata", Dword(1)}, {"login", Sz("ivan")}, {"pass", Bin(block.substr(0, 100))}},
         false,
         false,
         false,
         "ivan",
         ""},
        {"pass longer than a block",
         {{"savedata", Dword(1)}, {"pass", Bin(block + "x")}},
         false,
         false,
         false,
         "",
         ""},
        {"pass of the wrong type",
         {{"savedata", Dword(1)}, {"pass", Sz(block)}},
         false,
         false,
         false,
         "",
         ""},
        {"flags of the wrong type",
         {{"savedata", Sz("1")}, {"runonwinlogon", Bin("\1\0\0\0")}, {"pass", Bin(block)}},
         false,
         false,
         false,
         "",
         ""},
        {"flag of the wrong size",
         {{"runonwinlogon", {kValueDword, "\1"}}},
         false,
         false,
         false,
         "",
         ""},
        {"login of the wrong type",
         {{"savedata", Dword(1)}, {"login", Bin("ivan")}, {"pass", Bin(block)}},
         false,
         true,
         true,
         "",
         "password"},
        {"any non-zero flag counts", {{"runonwinlogon", Dword(7)}}, true, false, false, "", ""},
    };
    for (auto& c : cases) {
        fake::Reset();
        if (!c.stored.empty()) Values() = c.stored;
        LoadSettings();
        EXPECT_TRUE(world.registry.count(kKey)) << c.name << ": the key is created";
        EXPECT_EQ(gAgent.runAtLogon, c.runAtLogon) << c.name;
        EXPECT_EQ(fake::Checked(fake::kLogonWindow, IDC_REMEMBER), c.checked) << c.name;
        EXPECT_EQ(gAgent.useSavedPassword, c.useSaved) << c.name;
        EXPECT_EQ(fake::Text(fake::kLogonWindow, IDC_LOGIN), c.login) << c.name;
        EXPECT_EQ(fake::Text(fake::kLogonWindow, IDC_PASSWORD), c.password) << c.name;
        if (c.useSaved) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(gAgent.savedPasswordBlock), 128), block);
        }
        EXPECT_EQ(Values().size(), c.stored.size()) << c.name << ": loading changes nothing stored";
    }
}

TEST_F(Settings, SaveWritesExactlyWhatIsRemembered) {
    world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "ivan";
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
    memset(gAgent.savedPasswordBlock, 'P', 128);
    gAgent.useSavedPassword = true;
    gAgent.runAtLogon = true;
    EXPECT_EQ(SaveSettings(), 0);
    EXPECT_EQ(Values()["savedata"].data, std::string("\1\0\0\0", 4));
    EXPECT_EQ(Values()["savedata"].type, kValueDword);
    EXPECT_EQ(Values()["login"].data, "ivan") << "no NUL stored";
    EXPECT_EQ(Values()["login"].type, kValueString);
    EXPECT_EQ(Values()["pass"].data, std::string(128, 'P'));
    EXPECT_EQ(Values()["pass"].type, kValueBinary);
    EXPECT_EQ(Values()["runonwinlogon"].data, std::string("\1\0\0\0", 4));
    EXPECT_EQ(world.registry[kRun]["VORNA Auth Utility"].data, world.programPath);
    EXPECT_EQ(world.registry[kRun]["VORNA Auth Utility"].type, kValueString);

    // Unchecking the box and logging on again forgets the credentials.
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = false;
    gAgent.runAtLogon = false;
    SaveSettings();
    EXPECT_EQ(Values()["savedata"].data, std::string("\0\0\0\0", 4));
    EXPECT_EQ(Values().count("login"), 0u);
    EXPECT_EQ(Values().count("pass"), 0u);
    EXPECT_EQ(world.registry[kRun].count("VORNA Auth Utility"), 0u);
}

TEST_F(Settings, NothingIsRememberedWithoutAUsableBlock) {
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
    world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "ivan";
    gAgent.useSavedPassword = false;  // the user typed into the password field
    SaveSettings();
    EXPECT_EQ(Values()["savedata"].data, std::string("\0\0\0\0", 4));
    EXPECT_EQ(Values().count("login"), 0u);
}

TEST_F(Settings, ToggleStartAtLogonWithNothingRemembered) {
    for (bool on : {true, false}) {
        OnCommand(IDM_AUTORUN);
        EXPECT_EQ(gAgent.runAtLogon, on);
        EXPECT_EQ(Values()["savedata"].data, std::string("\0\0\0\0", 4));
        EXPECT_EQ(Values().count("login") + Values().count("pass"), 0u);
        EXPECT_EQ(world.registry[kRun].count("VORNA Auth Utility"), on ? 1u : 0u);
        EXPECT_EQ(Values()["runonwinlogon"].data[0], on ? 1 : 0);
    }
}

TEST_F(Settings, AFailedSaveIsSaid) {
    for (bool fails : {false, true}) {
        fake::Reset();
        world.registryFails = fails;
        world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
        LogOn("1 57");
        ASSERT_TRUE(gAgent.sessionActive);
        EXPECT_EQ(gAgent.settingsSaveFailed, fails);
        EXPECT_EQ(fake::HasDebugLine("Не удалось сохранить настройки"), fails);
    }
}

TEST_F(Settings, RegistryFailuresLeaveTheAgentUsable) {
    world.registryFails = true;
    gAgent.runAtLogon = true;
    LoadSettings();
    EXPECT_TRUE(gAgent.runAtLogon);
    EXPECT_FALSE(gAgent.useSavedPassword);
    EXPECT_EQ(SaveSettings(), 0);
}

TEST_F(Settings, RememberedLogonGoesOutWithTheStoredBlock) {
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
    LogOn("1 57", "ivan", "secret");
    std::string sentBlock = fake::Socket().sent.substr(256, 128);
    ASSERT_EQ(Values()["pass"].data, sentBlock);
    // Next start: the stored block is sent again byte for byte.
    fake::Reset();
    Values()["savedata"] = Dword(1);
    Values()["login"] = Sz("ivan");
    Values()["pass"] = Bin(sentBlock);
    LoadSettings();
    OnCommand(IDC_CONNECT);
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(fake::Socket().sent.substr(256, 128), sentBlock);
    EXPECT_EQ(Field(1), "ivan");
    // Typing into the password field makes the next logon encrypt the field.
    fake::Reset();
    Values()["savedata"] = Dword(1);
    Values()["pass"] = Bin(sentBlock);
    LoadSettings();
    ASSERT_TRUE(gAgent.useSavedPassword);
    OnPasswordTyped();
    world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = "passwordx";
    OnCommand(IDC_CONNECT);
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_NE(fake::Socket().sent.substr(256, 128), sentBlock);
    EXPECT_EQ(Field(2), "passwordx");
}

}  // namespace
