#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session/control.h"
#include "session/frames.h"
#include "tests/unit/test_util.h"
#include "ui/texts.h"

using fake::world;

namespace {

class Engine : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }

    // A GETINFO in flight, as the session control starts one.
    void StartInfo() {
        gAgent.sessionActive = true;
        OnCommand(IDM_INFO);
    }
    void StartPing() {
        gAgent.sessionActive = true;
        SendPing();
    }
};

TEST_F(Engine, OneRequestRunsThroughItsStates) {
    StartInfo();
    PlatSocket s = fake::CurrentSocket();
    EXPECT_EQ(gAgent.connState, kInfoConnecting);
    EXPECT_EQ(fake::Socket().connectAddress, "10.0.0.1");
    EXPECT_EQ(fake::Socket().connectPort, 800);
    EXPECT_EQ(fake::TimerPeriod(kTimerRequest), 3500u);
    EXPECT_TRUE(fake::HasDebugLine("Попытка соединения..."));
    fake::Event(kSocketConnected);
    EXPECT_EQ(gAgent.connState, kInfoWriting);
    fake::Event(kSocketWritable);
    EXPECT_EQ(gAgent.connState, kInfoReading);
    EXPECT_EQ(fake::Socket().sent.size(), 512u);
    EXPECT_EQ(fake::Socket().waits, (std::vector<SocketWait>{kWaitConnect, kWaitWrite, kWaitRead}));
    fake::Socket().inbound = {"1 Balance", ""};
    fake::Event(kSocketReadable);
    fake::Event(kSocketClosed);
    EXPECT_EQ(gAgent.connState, kIdle);
    EXPECT_FALSE(fake::TimerRunning(kTimerRequest));
    EXPECT_TRUE(world.sockets[s].shutdown);
    EXPECT_TRUE(world.sockets[s].closed);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "Balance");
}

TEST_F(Engine, ConnectUpdatesTheTrayByRequest) {
    struct {
        int state;
        bool linkConfirmed;
        bool trayChanges;
        const char* tip;
    } cases[] = {
        {kLogonConnecting, false, true, "Идет подключение"},
        {kLogoutConnecting, false, true, "Идет отключение"},
        {kPingConnecting, true, true, "Подключен"},
        {kPingConnecting, false, true, "Проверка пароля прошла успешно, идет подключение"},
        {kInfoConnecting, false, false, ""},
    };
    for (auto& c : cases) {
        fake::Reset();
        gAgent.linkConfirmed = c.linkConfirmed;
        gAgent.connState = c.state;
        OpenConnection();
        size_t trayCalls = world.tray.size();
        fake::Event(kSocketConnected);
        EXPECT_EQ(gAgent.connState, c.state + 1) << c.state;
        EXPECT_EQ(world.tray.size(), trayCalls + (c.trayChanges ? 1 : 0)) << c.state;
        if (c.trayChanges) {
            EXPECT_EQ(fake::LastTray().icon, kIconNone) << "no icon change";
            EXPECT_EQ(fake::LastTip(), c.tip);
        }
    }
}

TEST_F(Engine, ReplySplitAcrossReadsIsConcatenated) {
    StartInfo();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    for (const char* chunk : {"1 ", "Bal", "ance ", "150"}) {
        fake::Socket().inbound.push_back(chunk);
        fake::Event(kSocketReadable);
    }
    fake::Event(kSocketReadable);  // nothing ready: ignored
    fake::Socket().inbound.push_back("");
    fake::Event(kSocketClosed);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "Balance 150");
    EXPECT_FALSE(fake::HasDebugLine("AHTUNG READ WHEN CLOSE!!!!! DONT PANIC"));
}

TEST_F(Engine, DataArrivingWithTheCloseBelongsToTheReply) {
    StartInfo();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    fake::Socket().inbound = {"1 A"};
    fake::Event(kSocketReadable);
    fake::Socket().inbound = {"BC", ""};
    fake::Event(kSocketClosed);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "ABC");
    EXPECT_TRUE(fake::HasDebugLine("AHTUNG READ WHEN CLOSE!!!!! DONT PANIC"));
}

TEST_F(Engine, AReplyCutByAResetIsNeverTaken) {
    // "1 1234" cut to "1 1" by a reset: however the reset shows, no session 1 is opened.
    struct {
        const char* how;
        PlatNetError closeError;
        bool readFails;
        bool readAtTheClose;
    } cases[] = {
        {"close event with an error", kNetReset, false, false},
        {"close event with an unnamed error", kNetOther, false, false},
        {"failed read at the close", kNetOk, true, true},
        {"failed read notification", kNetOk, true, false},
    };
    for (auto& c : cases) {
        fake::Reset();
        fake::world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
        OnCommand(IDC_CONNECT);
        fake::Event(kSocketConnected);
        fake::Event(kSocketWritable);
        fake::Socket().inbound = {"1 1"};
        fake::Event(kSocketReadable);
        fake::Socket().reset = c.readFails;
        fake::Event(c.readAtTheClose || !c.readFails ? kSocketClosed : kSocketReadable,
                    c.closeError);
        EXPECT_FALSE(gAgent.sessionActive) << c.how;
        EXPECT_STREQ(gAgent.sessionId, "") << c.how;
        EXPECT_EQ(gAgent.connState, kIdle) << c.how;
        EXPECT_EQ(fake::LastTip(), "Невозможно соединиться с сервером") << c.how;
        EXPECT_FALSE(fake::TimerRunning(kTimerPing)) << c.how;
    }
}

TEST_F(Engine, ZeroByteReadCompletesTheRequest) {
    StartInfo();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    fake::Socket().inbound = {"1 Done", ""};
    fake::Event(kSocketReadable);
    fake::Event(kSocketReadable);
    EXPECT_EQ(gAgent.connState, kIdle);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "Done");
    EXPECT_FALSE(fake::TimerRunning(kTimerRequest));
}

TEST_F(Engine, AnEmptyReplyIsAFailureNotASilentSuccess) {
    // LOGON, GETINFO and LOGOUT report it at once; a PING counts as lost, like a timeout.
    LogOn("");
    EXPECT_EQ(gAgent.connState, kIdle);
    EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: empty reply"));
    EXPECT_EQ(fake::LastTip(), "Невозможно соединиться с сервером");

    fake::Reset();
    LogOn("1 57");
    for (int lost = 1; lost <= 3; lost++) {
        PingAnswered("");
        EXPECT_TRUE(gAgent.sessionActive) << "lost PING " << lost << " passes silently";
    }
    PingAnswered("");
    EXPECT_FALSE(gAgent.sessionActive);

    fake::Reset();
    LogOn("1 57");
    OnCommand(IDM_EXIT);  // Exit: the LOGOUT's empty answer still ends the program
    fake::Serve("");
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_TRUE(world.quitPosted);
}

TEST_F(Engine, PartialSendsGoOnFromTheSameWriteEventUntilTheSocketIsFull) {
    StartPing();
    fake::Socket().sendLimit = 200;  // no send takes the whole frame
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(fake::Socket().sent.size(), 512u) << "no second write event would come";
    EXPECT_EQ(gAgent.connState, kPingReading);

    fake::Reset();
    StartPing();
    fake::Socket().sendLimit = 200;
    fake::Socket().sendRoom = 300;  // then full until the next write event
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(fake::Socket().sent.size(), 300u);
    EXPECT_EQ(gAgent.connState, kPingWriting) << "a full socket is no error";
    fake::Socket().sendRoom = 1 << 30;
    fake::Event(kSocketWritable);
    EXPECT_EQ(fake::Socket().sent.size(), 512u);
    EXPECT_EQ(gAgent.connState, kPingReading);
    EXPECT_EQ(gAgent.pingCounter, 2) << "raised once per write event";
}

TEST_F(Engine, FullBufferClosesTheSocketAndEndsThroughTheTimeout) {
    StartInfo();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    fake::Socket().inbound = {std::string(600, 'x')};
    fake::Event(kSocketReadable);
    EXPECT_EQ(gAgent.ioLength, 511);
    EXPECT_EQ(gAgent.ioBuffer[511], 0);
    EXPECT_TRUE(fake::Socket().closed);
    fake::Event(kSocketClosed);  // the old socket's close is no longer ours
    EXPECT_EQ(gAgent.connState, kInfoReading);
    fake::Advance(3500);
    EXPECT_EQ(gAgent.connState, kIdle);
    EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Network timeout"));
}

TEST_F(Engine, AWriteNotificationOnceTheRequestIsOutSendsNothing) {
    StartInfo();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    fake::Socket().inbound = {"1 par"};
    fake::Event(kSocketReadable);
    fake::Event(kSocketWritable);
    EXPECT_EQ(fake::Socket().sent.size(), 512u);
    EXPECT_EQ(gAgent.connState, kInfoReading);
    fake::Socket().inbound = {"t", ""};
    fake::Event(kSocketClosed);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "part");
}

TEST_F(Engine, EventsOfAnOldSocketAreIgnored) {
    StartInfo();
    PlatSocket old = fake::CurrentSocket();
    fake::Serve("1 first");
    StartInfo();
    fake::Event(kSocketClosed, kNetOk, old);
    fake::Event(kSocketClosed, kNetReset, old);
    EXPECT_EQ(gAgent.connState, kInfoConnecting);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "first");
}

TEST_F(Engine, FailuresEndInNetworkError) {
    struct {
        const char* name;
        void (*drive)();
        const char* reason;
        FailCause cause;
    } cases[] = {
        {"error code on connect", [] { fake::Event(kSocketConnected, kNetRefused); },
         "error on scoket event", kCausePortClosed},
        {"connect in a writing state",
         [] {
             fake::Event(kSocketConnected);
             fake::Event(kSocketConnected);
         },
         "sys error", kCauseReset},
        {"send fails",
         [] {
             fake::Event(kSocketConnected);
             fake::Socket().sendResult = -1;
             fake::Event(kSocketWritable);
         },
         "sent <=0 ", kCauseReset},
        {"close before the request is written",
         [] {
             fake::Event(kSocketConnected);
             fake::Socket().inbound = {""};
             fake::Event(kSocketClosed);
         },
         "sys error", kCauseClosedWithoutReply},
        {"unknown event", [] { fake::Event(kSocketOther); }, "sys error", kCauseReset},
    };
    for (auto& c : cases) {
        fake::Reset();
        strcpy(gAgent.sessionId, "57");
        StartInfo();
        c.drive();
        EXPECT_EQ(gAgent.connState, kIdle) << c.name;
        EXPECT_FALSE(gAgent.sessionActive) << c.name;
        EXPECT_TRUE(fake::HasDebugLine(std::string("Сетевая ошибка, причина: ") + c.reason))
            << c.name;
        EXPECT_EQ(fake::LastTray().icon, kIconError) << c.name;
        EXPECT_EQ(fake::LastTip(), "Невозможно соединиться с сервером") << c.name;
        EXPECT_EQ(gAgent.view.cause, c.cause) << c.name;
        EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT),
                  std::string("Невозможно соединиться с сервером\n") + kCauseTexts[c.cause])
            << c.name;
        EXPECT_STREQ(gAgent.sessionId, "57") << "a network error keeps the session id";
        EXPECT_FALSE(fake::TimerRunning(kTimerRequest)) << c.name;
    }
}

TEST_F(Engine, ThreePingTimeoutsPassSilentlyTheFourthReports) {
    gAgent.sessionActive = true;
    gAgent.linkConfirmed = true;
    for (int i = 1; i <= 3; i++) {
        SendPing();
        fake::Advance(3500);
        EXPECT_EQ(gAgent.connState, kIdle) << i;
        EXPECT_TRUE(gAgent.sessionActive) << "timeout " << i << " is silent";
        EXPECT_EQ(gAgent.timeoutRetries, i);
    }
    SendPing();
    fake::Advance(3500);
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Network timeout"));
}

TEST_F(Engine, TimeoutOfOtherRequestsReportsAtOnce) {
    for (int state : {kLogonConnecting, kLogoutReading, kInfoWriting}) {
        fake::Reset();
        gAgent.sessionActive = true;
        gAgent.connState = state;
        OpenConnection();
        fake::Advance(3499);
        EXPECT_EQ(gAgent.connState, state);
        fake::Advance(1);
        EXPECT_EQ(gAgent.connState, kIdle) << state;
        EXPECT_FALSE(gAgent.sessionActive) << state;
        EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Network timeout")) << state;
    }
}

TEST_F(Engine, TimerIsStartedOncePerRequestAndNeverExtended) {
    StartInfo();
    fake::Advance(3000);
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    fake::Advance(500);
    EXPECT_EQ(gAgent.connState, kIdle) << "events do not extend the 3.5 s";
}

TEST_F(Engine, QuitAfterLogoutWaitsForTheRequestNotForAnError) {
    gAgent.sessionActive = true;
    gAgent.quitAfterLogout = true;
    SendPing();
    NetworkError("x", kCauseReset);
    EXPECT_FALSE(world.quitPosted);
    EXPECT_TRUE(gAgent.quitAfterLogout);
    gAgent.sessionActive = true;
    SendPing();
    fake::Serve("1 1 2 0");
    EXPECT_TRUE(world.quitPosted);
    EXPECT_EQ(world.quitCode, 0);
}

// However the request in flight ends without an answer, Exit does not wait for another one.
TEST_F(Engine, QuitAfterLogoutGoesAheadWhenTheServerClosesWithoutAnswer) {
    struct {
        const char* name;
        void (*drive)();
        const char* reason;
    } cases[] = {
        {"close while connecting", [] { fake::Event(kSocketClosed); }, "sys error"},
        {"close before the request is written",
         [] {
             fake::Event(kSocketConnected);
             fake::Event(kSocketClosed);
         },
         "sys error"},
        {"close after the request, no reply",
         [] {
             fake::Event(kSocketConnected);
             fake::Event(kSocketWritable);
             fake::Socket().inbound = {""};
             fake::Event(kSocketClosed);
         },
         "empty reply"},
    };
    for (auto& c : cases) {
        fake::Reset();
        world.quitPosted = false;
        gAgent.sessionActive = true;
        gAgent.quitAfterLogout = true;
        gAgent.connState = kLogoutConnecting;
        OpenConnection();
        c.drive();
        EXPECT_TRUE(world.quitPosted) << c.name;
        EXPECT_EQ(gAgent.connState, kIdle) << c.name;
        EXPECT_FALSE(fake::TimerRunning(kTimerRequest)) << c.name;
        EXPECT_TRUE(fake::HasDebugLine(std::string("Сетевая ошибка, причина: ") + c.reason))
            << c.name;
    }
}

TEST_F(Engine, APingClosedBeforeItIsWrittenCountsAsALostPing) {
    gAgent.sessionActive = true;
    gAgent.linkConfirmed = true;
    SendPing();
    fake::Event(kSocketConnected);
    fake::Event(kSocketClosed);
    EXPECT_EQ(gAgent.connState, kIdle);
    EXPECT_TRUE(gAgent.sessionActive) << "the first lost PING passes quietly";
    EXPECT_EQ(gAgent.timeoutRetries, 1);
    EXPECT_FALSE(fake::TimerRunning(kTimerRequest));
}

TEST_F(Engine, AddressAndPortComeFromTheBlockAtEveryConnect) {
    ConfigBlock saved = gConfig;
    memset(gConfig.serverAddress, 'A', sizeof gConfig.serverAddress);  // no NUL left
    strcpy(gConfig.serverPort, "8443");
    StartInfo();
    EXPECT_EQ(fake::Socket().connectAddress, std::string(30, 'A'));
    EXPECT_EQ(fake::Socket().connectPort, 8443);
    gConfig = saved;
}

TEST_F(Engine, NoSocketEndsThroughTheTimeout) {
    world.socketOpenFails = true;
    StartInfo();
    EXPECT_EQ(gAgent.connState, kInfoConnecting);
    fake::Advance(3500);
    EXPECT_EQ(gAgent.connState, kIdle);
}

}  // namespace
