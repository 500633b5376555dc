// The administrator's policy at bring-up: which source wins, what a bad value does, and that an
// option on the command line wins for its run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/agent_main.h"
#include "settings/policy.h"
#include "tests/unit/test_util.h"

using fake::world;

namespace {

const char kSettings[] = "Software\\Vorna\\AuthUtility";

using Values = std::map<std::string, fake::PolicyValue>;

struct Case {
    const char* name;
    Values machine;
    Values user;
    std::vector<std::string> args;
    // What the run then uses.
    const char* address;
    const char* port;
    bool notify;
    bool rememberAllowed;
    const char* logPath;             // what the support log was opened with; "" for none
    std::vector<std::string> lines;  // debug lines that must be there
};

class Policy : public ::testing::Test {
  protected:
    void SetUp() override { saved = gConfig; }
    void TearDown() override {
        gConfig = saved;
        fake::Reset();
    }
    ConfigBlock saved;
};

TEST_F(Policy, TableIsIndexedByIdAndNamesAreUnique) {
    for (int i = 0; i < kPolicyCount; ++i) {
        EXPECT_EQ(kPolicies[i].id, i) << kPolicies[i].name;
        for (int j = 0; j < i; ++j)
            EXPECT_STRNE(kPolicies[i].name, kPolicies[j].name);
    }
}

TEST_F(Policy, AtBringUp) {
    const Case cases[] = {
        {"no policy", {}, {}, {}, "10.0.0.1", "800", true, true, "", {}},
        {"server address and port for every user",
         {{"address", "10.20.0.1"}, {"port", 8123u}},
         {},
         {},
         "10.20.0.1",
         "8123",
         true,
         true,
         "",
         {"Политика address = 10.20.0.1 (HKLM)", "Политика port = 8123 (HKLM)"}},
        {"--address wins over the policy for its run",
         {{"address", "10.20.0.1"}},
         {},
         {"--address", "10.9.9.9"},
         "10.9.9.9",
         "800",
         true,
         true,
         "",
         {"Политика address = 10.20.0.1 (HKLM) не действует: задан --address"}},
        {"address and port are machine policies: the user's key does not set them",
         {},
         {{"address", "10.20.0.1"}, {"port", 8123u}},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {}},
        {"port out of range, of the wrong type",
         {{"port", 0u}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика port пропущена (HKLM): вне допустимого диапазона"}},
        {"port above 65535",
         {{"port", 65536u}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика port пропущена (HKLM): вне допустимого диапазона"}},
        {"port as a string",
         {{"port", "8123"}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика port пропущена (HKLM): неверный тип или длина"}},
        {"not a server's address",
         {{"address", "255.255.255.255"}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика address пропущена (HKLM): не адрес IPv4 сервера"}},
        {"address with a fifth part",
         {{"address", "1.2.3.4.5"}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика address пропущена (HKLM): не адрес IPv4 сервера"}},
        {"address with a leading zero",
         {{"address", "10.01.0.1"}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика address пропущена (HKLM): не адрес IPv4 сервера"}},
        {"address part above 255",
         {{"address", "10.0.0.256"}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика address пропущена (HKLM): не адрес IPv4 сервера"}},
        {"address of another type",
         {{"address", fake::PolicyValue::Other()}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика address пропущена (HKLM): неверный тип или длина"}},
        {"notifications off by the user's policy, over the user's own value",
         {},
         {{"notify", 0u}},
         {},
         "10.0.0.1",
         "800",
         false,
         true,
         "",
         {"Политика notify = 0 (HKCU)"}},
        {"the machine's value wins over the user's",
         {{"notify", 1u}},
         {{"notify", 0u}},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика notify = 1 (HKLM)"}},
        {"a bad machine value is ignored and the user's counts",
         {{"notify", "off"}},
         {{"notify", 0u}},
         {},
         "10.0.0.1",
         "800",
         false,
         true,
         "",
         {"Политика notify пропущена (HKLM): неверный тип или длина",
          "Политика notify = 0 (HKCU)"}},
        {"remembering forbidden for one user",
         {},
         {{"nosavedata", 1u}},
         {},
         "10.0.0.1",
         "800",
         true,
         false,
         "",
         {"Политика nosavedata = 1 (HKCU)"}},
        {"support log by policy",
         {{"logfile", "%LOCALAPPDATA%\\VornaAgent\\agent.log"}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "%LOCALAPPDATA%\\VornaAgent\\agent.log",
         {"Политика logfile = %LOCALAPPDATA%\\VornaAgent\\agent.log (HKLM)"}},
        {"--log wins over the policy's log",
         {{"logfile", "C:\\policy.log"}},
         {},
         {"--log", "C:\\own.log"},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика logfile = C:\\policy.log (HKLM) не действует: задан --log"}},
        {"an empty log path, a log path of another type",
         {{"logfile", ""}},
         {{"logfile", 1u}},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика logfile пропущена (HKLM): пустая строка",
          "Политика logfile пропущена (HKCU): неверный тип или длина"}},
        {"a log path too long to hold",
         {{"logfile", fake::PolicyValue(std::string(kPolicyTextSize, 'x').c_str())}},
         {},
         {},
         "10.0.0.1",
         "800",
         true,
         true,
         "",
         {"Политика logfile пропущена (HKLM): неверный тип или длина"}},
    };
    for (const Case& c : cases) {
        fake::Reset();
        gConfig = saved;
        world.machinePolicy[kPolicyKey] = c.machine;
        world.userPolicy[kPolicyKey] = c.user;
        uint32_t one = 1;
        auto& stored = world.registry[kSettings];
        stored["savedata"] = {kValueDword, std::string(reinterpret_cast<char*>(&one), 4)};
        stored["login"] = {kValueString, "ivan"};
        stored["pass"] = {kValueBinary, std::string(128, 'p')};
        std::vector<std::string> words = {"agent.exe"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        Args args(words);
        ASSERT_EQ(AgentBringUp(args.argc(), args.data()), 0) << c.name;
        EXPECT_STREQ(gConfig.serverAddress, c.address) << c.name;
        EXPECT_STREQ(gConfig.serverPort, c.port) << c.name;
        EXPECT_EQ(gAgent.notifyEnabled, c.notify) << c.name;
        EXPECT_EQ(stored.count("login") + stored.count("pass"), c.rememberAllowed ? 2u : 0u)
            << c.name;
        EXPECT_EQ(world.debugLogPath, c.logPath) << c.name;
        for (const std::string& line : c.lines)
            EXPECT_TRUE(fake::HasDebugLine(line)) << c.name << ": no line " << line;
        int policyLines = 0;
        for (const std::string& line : world.debug)
            policyLines += line.rfind("Политика ", 0) == 0;
        EXPECT_EQ(policyLines, static_cast<int>(c.lines.size())) << c.name;
    }
}

// Without --debug or --log, a policy's log turns the debug lines on and begins like any other.
TEST_F(Policy, LogByPolicyBeginsWithTheHeader) {
    fake::Reset();
    gAgent.debugEnabled = false;
    world.machinePolicy[kPolicyKey] = {{"logfile", "C:\\agent.log"}};
    Args args({"agent.exe"});
    ASSERT_EQ(AgentBringUp(args.argc(), args.data()), 0);
    EXPECT_EQ(world.debugLogPath, "C:\\agent.log");
    ASSERT_FALSE(world.debug.empty());
    EXPECT_EQ(world.debug[0], "*** Debug output:");
    EXPECT_TRUE(fake::HasDebugLine("Политика logfile = C:\\agent.log (HKLM)"));
}

}  // namespace
