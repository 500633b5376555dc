#include "crypto/field_crypto.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/agent_main.h"
#include "app/command_line.h"
#include "tests/unit/test_util.h"
#include "vorna_version.h"

using fake::world;

namespace {

// AgentMain keeps its key and buffers for the life of the process; a test gives them back.
void ReleaseAgent() {
    if (gAgent.serverKey != nullptr) FreeFieldKey(gAgent.serverKey);
    free(gAgent.ioBuffer);
    free(gAgent.savedPasswordBlock);
    gAgent.serverKey = nullptr;
    gAgent.ioBuffer = nullptr;
    gAgent.savedPasswordBlock = nullptr;
}

int RunAgentMain(std::vector<std::string> words) {
    Args args(std::move(words));
    int code = AgentMain(args.argc(), args.data());
    ReleaseAgent();
    return code;
}

class App : public ::testing::Test {
  protected:
    void SetUp() override { fake::ResetWorld(); }
    void TearDown() override { fake::Reset(); }
};

TEST_F(App, DebugSwitchOnlyAsFirstOrSecondArgument) {
    struct {
        std::vector<std::string> args;
        bool on;
    } cases[] = {
        {{"agent.exe", "--debug"}, true},
        {{"agent.exe", "--domain", "--debug"}, true},
        {{"agent.exe", "x", "--debug", "y"}, true},
        {{"agent.exe", "a", "b", "--debug"}, false},
        {{"agent.exe"}, false},
        {{"agent.exe", "--DEBUG"}, false},
        {{"agent.exe", "--debugx"}, false},
    };
    for (auto& c : cases) {
        Args args(c.args);
        EXPECT_EQ(DebugSwitchGiven(args.argc(), args.data()), c.on) << c.args.size();
    }
}

TEST_F(App, CommandLineSplitting) {
    struct {
        const char* line;
        std::vector<std::string> args;
    } cases[] = {
        {"agent.exe --debug", {"agent.exe", "--debug"}},
        {"  \"C:\\Program Files\\agent.exe\"\t--address  1.2.3.4 ",
         {"C:\\Program Files\\agent.exe", "--address", "1.2.3.4"}},
        {"a \"b c\"d e", {"a", "b cd", "e"}},
        {"a \"\" b", {"a", "", "b"}},
        {"a \"unterminated quote", {"a", "unterminated quote"}},
        {"", {}},
    };
    for (auto& c : cases) {
        char storage[256];
        char* argv[16];
        int argc = SplitCommandLine(c.line, storage, sizeof storage, argv, 16);
        ASSERT_EQ(argc, static_cast<int>(c.args.size())) << c.line;
        for (int i = 0; i < argc; i++)
            EXPECT_EQ(argv[i], c.args[i]) << c.line;
        EXPECT_EQ(argv[argc], nullptr);
    }
}

TEST_F(App, CommandLineSplittingIsBounded) {
    std::string line;
    for (int i = 0; i < 100; i++)
        line += "word" + std::to_string(i) + " ";
    char storage[32];
    char* argv[8];
    int argc = SplitCommandLine(line.c_str(), storage, sizeof storage, argv, 8);
    EXPECT_LE(argc, 8);
    for (int i = 0; i < argc; i++)
        EXPECT_LT(argv[i] + strlen(argv[i]), storage + sizeof storage);
    std::string longWord(100, 'x');
    argc = SplitCommandLine(longWord.c_str(), storage, sizeof storage, argv, 8);
    ASSERT_EQ(argc, 1);
    EXPECT_EQ(strlen(argv[0]), 31u);
}

TEST_F(App, StartUpFailures) {
    struct {
        const char* name;
        void (*arrange)();
        int exitCode;
        const char* text;
        const char* caption;
        PlatBoxKind kind;
    } cases[] = {
        {"another agent runs", [] { world.mutexResult = kMutexExisted; }, 0,
         "Приложение уже запущено", "VornaAgent - предупреждение", kBoxWarning},
        {"the mutex cannot be created", [] { world.mutexResult = kMutexFailed; }, 0,
         "Приложение уже запущено", "VornaAgent - предупреждение", kBoxWarning},
        {"sockets do not start", [] { world.socketsStart = kSocketsFailed; }, 0,
         "Ошибка при инициализации WinSock 2.0", "VornaAgent - ошибка", kBoxError},
        {"wrong sockets version", [] { world.socketsStart = kSocketsUnsupported; }, 0,
         "Неверная версия WinSock, необходимо использовать версию 2.0", "VornaAgent - ошибка",
         kBoxError},
        {"logon window fails", [] { world.failDialog = kWindowLogon; }, 1,
         "Ошибка при создании окна диалога с пользователем", "VornaAgent - ошибка", kBoxError},
        {"statistics window fails", [] { world.failDialog = kWindowStats; }, 1,
         "Ошибка при создании окна пользовательской статистики", "VornaAgent - ошибка", kBoxError},
    };
    for (auto& c : cases) {
        fake::ResetWorld();
        c.arrange();
        EXPECT_EQ(RunAgentMain({"agent.exe"}), c.exitCode) << c.name;
        ASSERT_EQ(world.boxes.size(), 1u) << c.name;
        EXPECT_EQ(world.boxes[0].text, c.text) << c.name;
        EXPECT_EQ(world.boxes[0].caption, c.caption) << c.name;
        EXPECT_EQ(world.boxes[0].kind, c.kind) << c.name;
        EXPECT_EQ(world.boxes[0].owner, nullptr) << c.name;
        EXPECT_FALSE(world.loopRan) << c.name;
    }
}

TEST_F(App, AnotherInstanceWaitsOneSecondAndAnAbandonedMutexProceeds) {
    world.mutexResult = kMutexExisted;
    RunAgentMain({"agent.exe"});
    EXPECT_EQ(world.mutexWaits, std::vector<uint32_t>{1000});
    fake::ResetWorld();
    world.mutexResult = kMutexExisted;
    world.mutexAbandoned = true;
    EXPECT_EQ(RunAgentMain({"agent.exe"}), 0);
    EXPECT_TRUE(world.loopRan);
    EXPECT_TRUE(world.boxes.empty());
}

TEST_F(App, BadKeyStopsWithExitCodeOne) {
    ConfigBlock saved = gConfig;
    for (const char* key :
         {"", "garbage", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----"}) {
        fake::ResetWorld();
        memset(gConfig.serverKeyPem, 0, sizeof gConfig.serverKeyPem);
        strcpy(gConfig.serverKeyPem, key);
        EXPECT_EQ(RunAgentMain({"agent.exe"}), 1) << key;
        ASSERT_EQ(world.boxes.size(), 1u);
        EXPECT_EQ(world.boxes[0].text, "Невозможно инициализировать ключ шифрования");
    }
    memset(gConfig.serverKeyPem, 'A', sizeof gConfig.serverKeyPem);  // no NUL at all
    fake::ResetWorld();
    EXPECT_EQ(RunAgentMain({"agent.exe"}), 1);
    gConfig = saved;
}

TEST_F(App, NormalRunStartsUpAndCleansUpAtExit) {
    world.loopExitCode = 3;
    EXPECT_EQ(RunAgentMain({"agent.exe", "--debug"}), 3);
    EXPECT_TRUE(world.debugOpened);
    ASSERT_FALSE(world.debug.empty());
    EXPECT_EQ(world.debug[0], "*** Debug output:");
    EXPECT_EQ(world.dialogsCreated, (std::vector<PlatWindowId>{kWindowLogon, kWindowStats}));
    EXPECT_EQ(world.tray.front().action, kTrayAdd);
    EXPECT_EQ(world.tray.front().tip, "Отключен");
    EXPECT_EQ(world.tray.back().action, kTrayDelete);
    EXPECT_FALSE(world.visible.count(fake::kLogonWindow)) << "destroyed";
}

TEST_F(App, BringUpWithoutRememberedCredentialsShowsTheWindow) {
    Args args({"agent.exe"});
    fake::Reset();
    ASSERT_EQ(AgentBringUp(args.argc(), args.data()), 0);
    EXPECT_TRUE(world.visible[fake::kLogonWindow]);
    EXPECT_TRUE(gAgent.mainWindowVisible);
    EXPECT_FALSE(gAgent.autoReconnect);
    EXPECT_EQ(fake::TimerPeriod(kTimerReconnect), 60000u);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "");
    EXPECT_EQ(fake::ItemIcon(fake::kStatsWindow, IDC_STATS_ICON), kIconDisconnected);
    fake::Advance(600000);
    EXPECT_TRUE(world.socketOrder.empty()) << "no logon until one is accepted";
}

TEST_F(App, BringUpWithRememberedCredentialsLogsOnAtOnce) {
    Args args({"agent.exe"});
    fake::Reset();
    uint32_t one = 1;
    world.registry["Software\\Vorna\\AuthUtility"]["savedata"] = {
        kValueDword, std::string(reinterpret_cast<char*>(&one), 4)};
    world.registry["Software\\Vorna\\AuthUtility"]["login"] = {kValueString, "ivan"};
    world.registry["Software\\Vorna\\AuthUtility"]["pass"] = {kValueBinary, std::string(128, 'p')};
    ASSERT_EQ(AgentBringUp(args.argc(), args.data()), 0);
    EXPECT_FALSE(world.visible[fake::kLogonWindow]);
    EXPECT_TRUE(gAgent.autoReconnect);
    fake::Pump();
    EXPECT_EQ(gAgent.connState, kLogonConnecting);
    EXPECT_EQ(world.socketOrder.size(), 1u);
}

TEST_F(App, MachinePolicyForbidsRememberingCredentials) {
    const char kPolicy[] = "Software\\Policies\\Vorna\\AuthUtility";
    struct {
        const char* name;
        const char* policyKey;
        uint32_t value;
        bool forbidden;
    } cases[] = {
        {"no policy", nullptr, 0, false},
        {"policy value 0", kPolicy, 0, false},
        {"policy value 1", kPolicy, 1, true},
        {"any non-zero value", kPolicy, 7, true},
        {"the per-user key does not count", "Software\\Vorna\\AuthUtility", 1, false},
    };
    for (auto& c : cases) {
        Args args({"agent.exe"});
        fake::Reset();
        if (c.policyKey) world.machinePolicy[c.policyKey]["nosavedata"] = c.value;
        uint32_t one = 1;
        auto& stored = world.registry["Software\\Vorna\\AuthUtility"];
        stored["savedata"] = {kValueDword, std::string(reinterpret_cast<char*>(&one), 4)};
        stored["login"] = {kValueString, "ivan"};
        stored["pass"] = {kValueBinary, std::string(128, 'p')};
        ASSERT_EQ(AgentBringUp(args.argc(), args.data()), 0) << c.name;
        fake::Pump();
        EXPECT_EQ(world.disabled[std::make_pair(fake::kLogonWindow, IDC_REMEMBER)], c.forbidden)
            << c.name;
        EXPECT_EQ(fake::Checked(fake::kLogonWindow, IDC_REMEMBER), !c.forbidden) << c.name;
        EXPECT_EQ(stored.count("login") + stored.count("pass"), c.forbidden ? 0u : 2u) << c.name;
        EXPECT_EQ(stored["savedata"].data[0], c.forbidden ? 0 : 1) << c.name;
        EXPECT_EQ(world.visible[fake::kLogonWindow], c.forbidden) << c.name;
        EXPECT_EQ(gAgent.connState == kLogonConnecting, !c.forbidden) << c.name;
        if (c.forbidden) {
            EXPECT_EQ(fake::Text(fake::kLogonWindow, IDC_PASSWORD), "") << "no stand-in password";
            EXPECT_FALSE(gAgent.useSavedPassword) << c.name;
            // Whatever sets the box again (the Linux login command does), nothing is stored.
            world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
            LogOn("1 58", "ivan", "secret");
            ASSERT_TRUE(gAgent.sessionActive) << c.name;
            EXPECT_EQ(stored.count("login") + stored.count("pass"), 0u) << c.name;
            EXPECT_EQ(stored["savedata"].data[0], 0) << c.name;
        }
    }
}

TEST_F(App, Options) {
    struct {
        const char* name;
        std::vector<std::string> args;
        const char* address;
        bool locked;
    } cases[] = {
        {"no options", {"a.exe"}, "10.0.0.1", false},
        {"address", {"a.exe", "--address", "192.168.5.5"}, "192.168.5.5", false},
        {"address without a value", {"a.exe", "--address"}, "10.0.0.1", false},
        {"address cut at 30",
         {"a.exe", "--address", std::string(40, '9')},
         "999999999999999999999999999999",
         false},
        {"domain", {"a.exe", "--domain"}, "10.0.0.1", true},
        {"domain with a name, then address",
         {"a.exe", "--domain", "CORP", "--address", "1.1.1.1"},
         "1.1.1.1",
         true},
        {"domain then address", {"a.exe", "--domain", "--address", "1.1.1.1"}, "1.1.1.1", true},
        {"address then domain", {"a.exe", "--address", "1.1.1.1", "--domain"}, "1.1.1.1", true},
        {"debug is ignored here", {"a.exe", "--debug", "--address", "2.2.2.2"}, "2.2.2.2", false},
        {"stops at a word without a dash",
         {"a.exe", "word", "--address", "3.3.3.3"},
         "10.0.0.1",
         false},
        {"a log file's path does not end the options",
         {"a.exe", "--log", "C:\\v.log", "--address", "5.5.5.5"},
         "5.5.5.5",
         false},
        {"repeated address: the last wins",
         {"a.exe", "--address", "1.1.1.1", "--address", "4.4.4.4"},
         "4.4.4.4",
         false},
    };
    ConfigBlock saved = gConfig;
    for (auto& c : cases) {
        fake::Reset();
        gConfig = saved;
        gAgent.runAtLogon = true;
        Args args(c.args);
        ApplyOptions(args.argc(), args.data());
        EXPECT_STREQ(gConfig.serverAddress, c.address) << c.name;
        EXPECT_EQ(gConfig.serverAddress[30], '\0') << c.name;
        EXPECT_EQ(gAgent.autorunLocked, c.locked) << c.name;
        if (c.locked) {
            EXPECT_FALSE(gAgent.runAtLogon) << c.name;
            EXPECT_EQ(world.registry["Software\\Vorna\\AuthUtility"]["runonwinlogon"].data,
                      std::string(4, '\0'))
                << c.name;
        }
    }
    gConfig = saved;
}

TEST_F(App, DomainRemovesTheRunEntryStoredBefore) {
    fake::Reset();
    uint32_t one = 1;
    world.registry["Software\\Vorna\\AuthUtility"]["runonwinlogon"] = {
        kValueDword, std::string(reinterpret_cast<char*>(&one), 4)};
    world.registry["Software\\Microsoft\\Windows\\CurrentVersion\\Run"]["VORNA Auth Utility"] = {
        kValueString, "x"};
    Args args({"a.exe", "--domain"});
    AgentBringUp(args.argc(), args.data());
    EXPECT_FALSE(gAgent.runAtLogon);
    EXPECT_EQ(world.registry["Software\\Microsoft\\Windows\\CurrentVersion\\Run"].count(
                  "VORNA Auth Utility"),
              0u);
}

TEST_F(App, TrayMenu) {
    struct {
        const char* name;
        bool runAtLogon, locked, sessionActive;
        int connState;
        bool checked, autorunGrayed, connectGrayed;
    } cases[] = {
        {"idle, autorun off", false, false, false, 0, false, false, false},
        {"autorun on", true, false, false, 0, true, false, false},
        {"locked by --domain", true, true, false, 0, false, true, false},
        {"session open", false, false, true, 0, false, false, true},
        {"request in flight", false, false, false, 1, false, false, true},
    };
    for (auto& c : cases) {
        fake::Reset();
        gAgent.runAtLogon = c.runAtLogon;
        gAgent.autorunLocked = c.locked;
        gAgent.sessionActive = c.sessionActive;
        gAgent.connState = c.connState;
        OnTrayEvent(kTrayMouseButton);
        ASSERT_EQ(world.menus.size(), 1u) << c.name;
        fake::Menu& m = world.menus[0];
        EXPECT_EQ(m.checked[IDM_AUTORUN], c.checked) << c.name;
        EXPECT_EQ(m.grayed[IDM_AUTORUN], c.autorunGrayed) << c.name;
        EXPECT_EQ(m.grayed[IDM_CONNECT], c.connectGrayed) << c.name;
        EXPECT_TRUE(m.tracked && m.destroyed) << c.name;
        EXPECT_EQ(world.postedNulls, 1) << c.name;
        if (c.locked) {
            EXPECT_FALSE(gAgent.runAtLogon) << c.name;
        }
    }
    fake::Reset();
    world.menuLoadFails = true;
    OnTrayEvent(kTrayMouseButton);
    EXPECT_EQ(world.postedNulls, 0);
    OnTrayEvent(kTrayMouseOther);
    EXPECT_TRUE(world.socketOrder.empty());
}

TEST_F(App, Commands) {
    fake::Reset();
    gAgent.autoReconnect = true;
    OnCommand(IDM_CONNECT);
    EXPECT_TRUE(world.visible[fake::kLogonWindow]);
    EXPECT_FALSE(gAgent.autoReconnect);
    OnCommand(IDC_HIDE);
    EXPECT_FALSE(world.visible[fake::kLogonWindow]);
    EXPECT_FALSE(gAgent.mainWindowVisible);
    OnCommand(IDM_CONNECT);
    OnWindowClose(kWindowLogon);
    EXPECT_FALSE(world.visible[fake::kLogonWindow]);
    OnCommand(IDM_ABOUT);
    ASSERT_EQ(world.boxes.size(), 1u);
    EXPECT_EQ(world.boxes[0].caption, "О программе");
    EXPECT_EQ(world.boxes[0].owner, nullptr);
    EXPECT_EQ(world.boxes[0].kind, kBoxInformation);
    OnCommand(4016);  // no such command
    OnCommand(2);     // Escape's id does nothing
    EXPECT_FALSE(world.visible[fake::kLogonWindow]);
    world.visible[fake::kStatsWindow] = true;
    OnStatsCommand(2);  // Escape's id (the system's own, no name here) leaves the window open
    EXPECT_TRUE(world.visible[fake::kStatsWindow]);
    OnStatsCommand(IDC_STATS_OK);
    EXPECT_FALSE(world.visible[fake::kStatsWindow]);
    world.visible[fake::kStatsWindow] = true;
    OnWindowClose(kWindowStats);
    EXPECT_FALSE(world.visible[fake::kStatsWindow]);
}

TEST_F(App, ExitWithAndWithoutASession) {
    fake::Reset();
    OnCommand(IDM_EXIT);
    EXPECT_TRUE(world.quitPosted);
    EXPECT_TRUE(world.socketOrder.empty());

    fake::Reset();
    LogOn("1 57");
    OnCommand(IDM_EXIT);
    EXPECT_FALSE(world.quitPosted);
    EXPECT_EQ(gAgent.connState, kLogoutConnecting);
    fake::Serve("1");
    EXPECT_TRUE(world.quitPosted);

    // A request already in flight: no LOGOUT, quit as soon as it completes.
    fake::Reset();
    LogOn("1 57");
    fake::Advance(2000);
    size_t sockets = world.socketOrder.size();
    OnCommand(IDM_EXIT);
    EXPECT_TRUE(gAgent.quitAfterLogout);
    EXPECT_EQ(world.socketOrder.size(), sockets);
    fake::Serve("1 5 1 0");
    EXPECT_TRUE(world.quitPosted);
    EXPECT_EQ(Field(0), "PING");
}

// A stop request (SIGTERM) ends the agent however its logoff ends; a user's Exit after a failed
// logoff leaves it running, as it always has.
TEST_F(App, StopRequestEndsTheAgentWhenTheLogoffFails) {
    struct {
        const char* name;
        void (*logoffEnds)();
        bool exitQuits;  // a user's Exit quits too: the server closed the exchange
    } cases[] = {
        {"answered", [] { fake::Serve("1"); }, true},
        {"refused connection", [] { fake::Event(kSocketConnected, kNetRefused); }, false},
        {"no answer in time", [] { fake::Advance(kRequestTimeoutMs); }, false},
        {"closed without a reply", [] { fake::Serve(""); }, true},
    };
    for (auto& c : cases) {
        for (bool stop : {true, false}) {
            fake::Reset();
            LogOn("1 57");
            if (stop) {
                OnStopRequest();
            } else {
                OnCommand(IDM_EXIT);
            }
            ASSERT_EQ(gAgent.connState, kLogoutConnecting) << c.name;
            c.logoffEnds();
            EXPECT_EQ(world.quitPosted, stop || c.exitQuits)
                << c.name << (stop ? ", stop" : ", Exit");
        }
    }
    // A lost PING under way when the stop comes ends quietly, and the agent with it.
    fake::Reset();
    LogOn("1 57");
    fake::Advance(fake::TimerPeriod(kTimerPing));
    OnStopRequest();
    fake::Advance(kRequestTimeoutMs);
    EXPECT_TRUE(gAgent.sessionActive) << "the first lost PING passes quietly";
    EXPECT_TRUE(world.quitPosted);
}

TEST_F(App, StartLinesSayVersionServerAndKey) {
    const std::string header = "*** Debug output:";
    const std::string key = "Ключ сервера: RSA 1024 бит, SHA-256 "
                            "2b20c57149fc0776e2330628966eb57766fe39f963b0310053621d4a3bab9ba6";
    struct {
        const char* name;
        std::vector<std::string> args;
        bool console;
        const char* logPath;
        const char* server;
    } cases[] = {
        {"debug", {"agent.exe", "--debug"}, true, "", "Сервер: 10.0.0.1, порт 800"},
        {"log file only, from a Run entry",
         {"agent.exe", "--log", "%LOCALAPPDATA%\\VornaAgent\\agent.log", "--domain"},
         false,
         "%LOCALAPPDATA%\\VornaAgent\\agent.log",
         "Сервер: 10.0.0.1, порт 800"},
        {"the address in use, not the stamped one",
         {"agent.exe", "--debug", "--address", "10.9.8.7", "--log", "a.log"},
         true,
         "a.log",
         "Сервер: 10.9.8.7, порт 800"},
    };
    ConfigBlock saved = gConfig;
    for (auto& c : cases) {
        fake::ResetWorld();
        gConfig = saved;
        RunAgentMain(c.args);
        EXPECT_EQ(world.debugOpened, c.console) << c.name;
        EXPECT_EQ(world.debugLogPath, c.logPath) << c.name;
        ASSERT_GE(world.debug.size(), 5u) << c.name;
        EXPECT_EQ(world.debug[0], header) << c.name;
        EXPECT_EQ(world.debug[1], std::string("Версия: ") + VORNA_VERSION_TEXT) << c.name;
        EXPECT_EQ(world.debug[2], c.server) << c.name;
        EXPECT_EQ(world.debug[3], key) << c.name;
        EXPECT_EQ(world.debug[4], "Трей: Отключен") << c.name;
    }
    gConfig = saved;
    fake::ResetWorld();
    RunAgentMain({"agent.exe", "--log"});
    EXPECT_TRUE(world.debug.empty()) << "--log without a file switches nothing on";
}

TEST_F(App, ServerTextReachesTheDebugOutputWithControlsEscaped) {
    fake::Reset();
    gAgent.debugEnabled = true;
    DebugPrint("Полученные данные: %s", "0 a\x1b[31mRED\r\n\x7f\tok\xe9");
    ASSERT_EQ(world.debug.size(), 1u);
    EXPECT_EQ(world.debug[0], "Полученные данные: 0 a\\x1b[31mRED\\x0d\\x0a\\x7f\\x09ok\xe9");
    gAgent.debugEnabled = false;
}

TEST_F(App, DebugLinesAreCutAt1023Characters) {
    fake::Reset();
    gAgent.debugEnabled = true;
    std::string longText(3000, 'z');
    DebugPrint("%s", longText.c_str());
    ASSERT_EQ(world.debug.size(), 1u);
    EXPECT_EQ(world.debug[0].size(), 1023u);
    gAgent.debugEnabled = false;
    DebugPrint("silent");
    EXPECT_EQ(world.debug.size(), 1u);
}

}  // namespace
