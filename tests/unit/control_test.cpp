#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session/control.h"
#include "tests/unit/test_util.h"

using fake::world;

namespace {

class Control : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(Control, AcceptedLogonOpensTheSession) {
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
    LogOn("1 57");
    PlatSocket logon = fake::CurrentSocket();
    EXPECT_EQ(Field(0, logon), "LOGON");
    EXPECT_EQ(Field(1, logon), "user");
    EXPECT_EQ(Field(2, logon), "secret");
    EXPECT_EQ(Field(3, logon), "253702");
    EXPECT_STREQ(gAgent.sessionId, "57");
    EXPECT_TRUE(gAgent.sessionActive);
    EXPECT_TRUE(gAgent.useSavedPassword);
    EXPECT_TRUE(gAgent.autoReconnect);
    EXPECT_EQ(gAgent.pingCounter, 1);
    EXPECT_EQ(gAgent.pingInterval, 300000u);
    EXPECT_EQ(fake::TimerPeriod(kTimerPing), 2000u);
    EXPECT_EQ(fake::LastTip(), "Проверка пароля прошла успешно, идет подключение");
    EXPECT_EQ(world.registry["Software\\Vorna\\AuthUtility"]["login"].data, "user");
    EXPECT_TRUE(fake::HasDebugLine("Полученные данные: 1 57"));
    EXPECT_TRUE(fake::HasDebugLine("Парсинг сообщения: установка 'small timer' для 'PING'"));
    EXPECT_FALSE(world.visible[fake::kLogonWindow]);
    // The first PING carries the counter 1.
    fake::Advance(2000);
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(Field(0), "PING");
    EXPECT_EQ(Field(2), "57");
    EXPECT_EQ(Field(3), "1");
}

TEST_F(Control, PingIntervalFromTheLogonReply) {
    struct {
        const char* reply;
        uint32_t interval;
    } cases[] = {
        {"1 57", 300000},       {"3 57 10", 90000},   {"3 57 20", 20000},
        {"3 57 1800", 1800000}, {"3 57 1801", 90000}, {"3   57   45", 45000},
        {"3 57", 90000},        {"3 57 abc", 90000},  {"1 57 45", 300000},
    };
    for (auto& c : cases) {
        fake::Reset();
        LogOn(c.reply);
        EXPECT_EQ(gAgent.pingInterval, c.interval) << c.reply;
        PingAnswered("1 10 1 0");
        EXPECT_EQ(fake::TimerPeriod(kTimerPing), c.interval) << c.reply;
    }
}

TEST_F(Control, SessionIdZeroIsANetworkError) {
    for (const char* reply : {"1 0", "1", "1 abc", "3 0 60"}) {
        fake::Reset();
        LogOn(reply);
        EXPECT_FALSE(gAgent.sessionActive) << reply;
        EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Session id is 0")) << reply;
        EXPECT_EQ(fake::LastTray().icon, kIconError) << reply;
    }
}

TEST_F(Control, SessionIdKeepsItsFirst29Characters) {
    LogOn("1 " + std::string(40, '7'));
    EXPECT_EQ(std::string(gAgent.sessionId), std::string(29, '7'));
}

TEST_F(Control, RefusalZeroBacksOffAndWraps) {
    const uint32_t series[] = {90000,  135000,  202500, 303750, 455625,
                               683437, 1025155, 60000,  90000};
    for (uint32_t expected : series) {
        LogOn("0 Нет денег");
        EXPECT_EQ(gAgent.retryDelay, expected);
        EXPECT_EQ(fake::TimerPeriod(kTimerReconnect), expected);
    }
    EXPECT_EQ(fake::LastTip(), "Подключение невозможно:\nНет денег");
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "Подключение невозможно:\nНет денег");
    EXPECT_TRUE(world.boxes.empty()) << "logon impossible shows no box";
    EXPECT_FALSE(gAgent.sessionActive);
}

TEST_F(Control, DelayResetsOnRefusalTwoAndUnknownCodesNotOnAcceptance) {
    struct {
        const char* reply;
        uint32_t delay;
    } cases[] = {
        {"2 Неверный пароль", 60000}, {"7 what", 60000}, {"1 57", 135000}, {"3 57 60", 135000}};
    for (auto& c : cases) {
        fake::Reset();
        LogOn("0 busy");
        LogOn("0 busy");
        ASSERT_EQ(gAgent.retryDelay, 135000u);
        LogOn(c.reply);
        EXPECT_EQ(gAgent.retryDelay, c.delay) << c.reply;
    }
}

TEST_F(Control, UnknownLogonReplyIsReportedNotLeftInProgress) {
    const std::string replies[] = {
        std::string(16, '\0'), std::string(1, '\0'), "hello world", " 57", "7 57", "9 whatever"};
    for (const std::string& reply : replies) {
        fake::Reset();
        LogOn(reply);
        EXPECT_EQ(fake::LastTip(), "Невозможно соединиться с сервером") << reply;
        EXPECT_EQ(fake::LastTray().icon, kIconError) << reply;
        EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Неизвестный ответ сервера"));
        EXPECT_EQ(gAgent.connState, kIdle);
        EXPECT_FALSE(gAgent.sessionActive);
        EXPECT_TRUE(world.boxes.empty());
    }
}

TEST_F(Control, RefusalTwoWarnsAndShowsTheLogonWindow) {
    gAgent.useSavedPassword = true;
    gAgent.autoReconnect = true;
    LogOn("2   Неверный пароль");
    ASSERT_EQ(world.boxes.size(), 1u);
    EXPECT_EQ(world.boxes[0].owner, fake::kLogonWindow);
    EXPECT_EQ(world.boxes[0].text, "Авторизации не выполнена:\nНеверный пароль");
    EXPECT_EQ(world.boxes[0].caption, "VornaAgent - предупреждение");
    EXPECT_EQ(world.boxes[0].kind, kBoxWarning);
    EXPECT_TRUE(world.visible[fake::kLogonWindow]);
    EXPECT_TRUE(gAgent.mainWindowVisible);
    EXPECT_FALSE(gAgent.autoReconnect);
    EXPECT_FALSE(gAgent.useSavedPassword);
    EXPECT_EQ(fake::LastTray().icon, kIconError);
    // No automatic retries after it.
    fake::Advance(600000);
    EXPECT_EQ(world.socketOrder.size(), 1u);
}

TEST_F(Control, LongestRefusalArrivesWhole) {
    LogOn("0 " + std::string(508, 'x'));  // 510 bytes: a reply of 511 fills the buffer
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT),
              "Подключение невозможно:\n" + std::string(508, 'x'));
}

TEST_F(Control, PingTwoIsRetriedUntilTheSeventhIsDenied) {
    LogOn("1 57");
    for (int counter = 1; counter <= 6; counter++) {
        fake::Advance(2000);
        fake::Event(kSocketConnected);
        fake::Event(kSocketWritable);
        EXPECT_EQ(Field(3), std::to_string(counter));
        fake::Socket().inbound = {"2", ""};
        fake::Event(kSocketClosed);
        EXPECT_TRUE(gAgent.sessionActive) << "PING " << counter;
        EXPECT_EQ(fake::TimerPeriod(kTimerPing), 2000u);
        EXPECT_EQ(fake::LastTray().icon, kIconProgress);
    }
    PingAnswered("2");
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Доступ запрещен"));
}

TEST_F(Control, PingTwoDeniesAtEveryLargeCounterWithoutOverflow) {
    // counter * 2000 leaves an int from 1073742 on; the answer must stay a denial.
    const int counters[] = {8, 1073741, 1073742, 1500000, 2147483000};
    for (int counter : counters) {
        fake::Reset();
        LogOn("1 57");
        gAgent.pingCounter = counter - 1;  // raised as the PING is written
        PingAnswered("2");
        EXPECT_FALSE(gAgent.sessionActive) << counter;
        EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Доступ запрещен")) << counter;
    }
}

TEST_F(Control, HoverPingsCountTowardsTheDenial) {
    LogOn("1 57");
    OnTrayEvent(kTrayMouseMove);  // carries 1
    EXPECT_TRUE(fake::HasDebugLine("Получение статистики, вне очередной 'PING'"));
    fake::Serve("2");
    for (int i = 0; i < 5; i++)
        PingAnswered("2");  // 2 to 6
    ASSERT_TRUE(gAgent.sessionActive);
    OnTrayEvent(kTrayMouseMove);  // the guard has long expired
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(Field(3), "7");
    fake::Socket().inbound = {"2", ""};
    fake::Event(kSocketClosed);
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Доступ запрещен"));
}

TEST_F(Control, HoverSendsAtMostOnePingPerFiveSecondsAndNeverDuringARequest) {
    LogOn("1 57");
    PingAnswered("1 10 1 0");
    size_t sockets = world.socketOrder.size();
    OnTrayEvent(kTrayMouseMove);
    EXPECT_EQ(world.socketOrder.size(), sockets + 1);
    OnTrayEvent(kTrayMouseMove);  // in flight
    fake::Serve("1 10 1 0");
    OnTrayEvent(kTrayMouseMove);  // guarded
    EXPECT_EQ(world.socketOrder.size(), sockets + 1);
    fake::Advance(5000);
    EXPECT_FALSE(gAgent.hoverPingGuard);
    EXPECT_FALSE(fake::TimerRunning(kTimerHover));
    OnTrayEvent(kTrayMouseMove);
    EXPECT_EQ(world.socketOrder.size(), sockets + 2);
}

TEST_F(Control, HoverPingAnsweredOneRestartsTheSlowTimer) {
    LogOn("3 57 60");
    PingAnswered("1 10 1 0");
    fake::Advance(40000);
    OnTrayEvent(kTrayMouseMove);
    fake::Serve("1 10 1 0");
    size_t sockets = world.socketOrder.size();
    fake::Advance(59999);
    EXPECT_EQ(world.socketOrder.size(), sockets) << "the next PING is a full interval away";
    fake::Advance(1);
    EXPECT_EQ(world.socketOrder.size(), sockets + 1);
}

TEST_F(Control, PingReplies) {
    LogOn("1 57");
    gAgent.timeoutRetries = 3;
    PingAnswered("1 150.25 3.10 0");
    EXPECT_TRUE(gAgent.linkConfirmed);
    EXPECT_EQ(gAgent.timeoutRetries, 0) << "an answer ends a run of lost PINGs";
    EXPECT_EQ(fake::LastTip(), "Подключен\nБаланс: 150.25\nЗа сессию: 3.10");
    PingAnswered("0Сессия завершена");
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_FALSE(gAgent.linkConfirmed);
    EXPECT_EQ(fake::LastTip(), "Сессия завершена");
    EXPECT_EQ(fake::LastTray().icon, kIconError);
    EXPECT_FALSE(fake::TimerRunning(kTimerPing)) << "the PING timer stays stopped";
    EXPECT_STREQ(gAgent.sessionId, "57") << "a session ended by the server keeps its id";

    fake::Reset();
    LogOn("1 57");
    PingAnswered("x");
    EXPECT_TRUE(fake::HasDebugLine("Сетевая ошибка, причина: Неизвестный ответ сервера"));
}

// Lost PINGs of an earlier session do not count against a new one: its first lost PING passes
// quietly instead of abandoning it at the server.
TEST_F(Control, ANewSessionStartsItsOwnCountOfLostPings) {
    LogOn("1 57");
    for (int lost = 0; lost < 3; lost++) {
        fake::Advance(fake::TimerPeriod(kTimerPing));
        fake::Advance(kRequestTimeoutMs);
    }
    ASSERT_TRUE(gAgent.sessionActive);
    ASSERT_EQ(gAgent.timeoutRetries, 3);
    StartLogout();
    fake::Serve("1");
    LogOn("1 58");
    fake::Advance(fake::TimerPeriod(kTimerPing));
    fake::Advance(kRequestTimeoutMs);
    EXPECT_TRUE(gAgent.sessionActive) << "the new session's first lost PING is quiet";
    EXPECT_FALSE(fake::HasDebugLine("Сетевая ошибка, причина: Network timeout"));
}

TEST_F(Control, PingTimerSurvivesErrorsAndLogouts) {
    LogOn("1 57");
    fake::Advance(2000);
    NetworkError("x", kCauseReset);
    EXPECT_TRUE(fake::TimerRunning(kTimerPing));
    size_t sockets = world.socketOrder.size();
    fake::Advance(10000);
    EXPECT_EQ(world.socketOrder.size(), sockets) << "ticks without a session do nothing";
    LogOn("1 58");
    OnCommand(IDM_DISCONNECT);
    fake::Serve("1");
    EXPECT_TRUE(fake::TimerRunning(kTimerPing));
    EXPECT_EQ(fake::LastTip(), "Отключен");
    EXPECT_EQ(gAgent.sessionId[0], '\0');
}

TEST_F(Control, LogoutSendsTheSessionAndStopsReconnecting) {
    LogOn("1 57");
    gAgent.autoReconnect = true;
    OnCommand(IDM_DISCONNECT);
    EXPECT_FALSE(gAgent.autoReconnect);
    EXPECT_EQ(gAgent.connState, kLogoutConnecting);
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(Field(0), "LOGOUT");
    EXPECT_EQ(Field(2), "57");
    EXPECT_EQ(Field(3), "VOID4");
    fake::Socket().inbound = {"anything", ""};
    fake::Event(kSocketClosed);
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_EQ(fake::LastTray().icon, kIconDisconnected);
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "Отключен");
    // Without a session, Disconnect sends nothing but still stops reconnecting.
    gAgent.autoReconnect = true;
    size_t sockets = world.socketOrder.size();
    OnCommand(IDM_DISCONNECT);
    EXPECT_EQ(world.socketOrder.size(), sockets);
    EXPECT_FALSE(gAgent.autoReconnect);
}

TEST_F(Control, InformationWithAndWithoutASession) {
    fake::world.texts[{fake::kStatsWindow, IDC_STATS_TEXT}] = "old";
    OnCommand(IDM_INFO);
    EXPECT_TRUE(world.visible[fake::kStatsWindow]);
    EXPECT_TRUE(world.socketOrder.empty());
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), "old");
    LogOn("1 57");
    world.visible[fake::kStatsWindow] = false;
    for (auto [reply, shown] : {std::pair{"1 Баланс 5", "Баланс 5"}, {"1", ""}, {"12", ""}}) {
        OnCommand(IDM_INFO);
        fake::Serve(reply);
        EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), shown) << reply;
        EXPECT_TRUE(world.visible[fake::kStatsWindow]);
    }
}

TEST_F(Control, ReconnectTimerConditions) {
    struct {
        const char* name;
        int connState;
        bool windowVisible, autoReconnect, linkConfirmed, sessionActive;
        bool logsOn;
    } cases[] = {
        {"all conditions met", 0, false, true, false, false, true},
        {"request in flight", 7, false, true, false, false, false},
        {"logon window shown", 0, true, true, false, false, false},
        {"reconnect off", 0, false, false, false, false, false},
        {"link confirmed", 0, false, true, true, false, false},
        {"session active", 0, false, true, false, true, false},
    };
    for (auto& c : cases) {
        fake::Reset();
        gAgent.connState = c.connState;
        gAgent.mainWindowVisible = c.windowVisible;
        gAgent.autoReconnect = c.autoReconnect;
        gAgent.linkConfirmed = c.linkConfirmed;
        gAgent.sessionActive = c.sessionActive;
        PlatSetTimer(kTimerReconnect, kRetryDelayStart);
        world.posted.clear();
        OnTimer(kTimerReconnect);
        EXPECT_EQ(!world.posted.empty() && world.posted.front() == IDC_CONNECT, c.logsOn) << c.name;
        EXPECT_TRUE(fake::TimerRunning(kTimerReconnect)) << c.name;
    }
}

TEST_F(Control, RefusalZeroIsRetriedByTheReconnectTimerWhileHidden) {
    PlatSetTimer(5, 60000);
    LogOn("1 57");
    PingAnswered("0 Закончилось время");
    size_t sockets = world.socketOrder.size();
    fake::Advance(60000);
    EXPECT_EQ(world.socketOrder.size(), sockets + 1);
    EXPECT_EQ(gAgent.connState, kLogonConnecting);
    fake::Serve("0 Нет связи");
    fake::Advance(89999);
    EXPECT_EQ(world.socketOrder.size(), sockets + 1);
    fake::Advance(1);
    EXPECT_EQ(world.socketOrder.size(), sockets + 2);
}

TEST_F(Control, SecondLogonDuringASessionIsIgnored) {
    LogOn("1 57");
    size_t sockets = world.socketOrder.size();
    OnCommand(IDC_CONNECT);
    EXPECT_EQ(world.socketOrder.size(), sockets);
}

TEST_F(Control, SessionEndWithoutASessionSendsNothing) {
    LogoutAtSessionEnd();
    EXPECT_TRUE(world.socketOrder.empty());
}

TEST_F(Control, SessionEndLogsOffBlockingAndComesBackIfTheSessionGoesOn) {
    PlatSetTimer(5, 60000);
    LogOn("1 57");
    gAgent.connState = kPingReading;  // a PING in flight is abandoned
    PlatSocket ping = fake::CurrentSocket();
    world.posted.clear();
    LogoutAtSessionEnd();
    EXPECT_TRUE(world.sockets[ping].closed);
    EXPECT_TRUE(fake::Socket().blocking);
    EXPECT_EQ(Field(0), "LOGOUT");
    EXPECT_EQ(Field(2), "57");
    EXPECT_EQ(gAgent.connState, kLogoutReading);
    EXPECT_FALSE(fake::TimerRunning(kTimerRequest));
    OnEndSession(false, false);
    EXPECT_EQ(gAgent.connState, kIdle);
    EXPECT_FALSE(gAgent.sessionActive);
    EXPECT_EQ(fake::LastTip(), "Отключен");
    // From there the reconnect timer logs on again.
    fake::Advance(60000);
    EXPECT_EQ(gAgent.connState, kLogonConnecting);
}

TEST_F(Control, SessionEndLogoffIsBoundedWhenTheServerNeverAnswers) {
    LogOn("1 57");
    world.connectWaitCost = 60000;  // a connect that would hang for a minute
    uint32_t start = world.now;
    LogoutAtSessionEnd();
    EXPECT_LE(world.now - start, 3500u);
    EXPECT_EQ(gAgent.connState, kLogoutConnecting);
    OnEndSession(true, false);
    EXPECT_EQ(gAgent.connState, kLogoutConnecting) << "a session that ends needs nothing more";
}

TEST_F(Control, SessionEndLogsOffFirstWhenTheShellIsSlow) {
    LogOn("1 57");
    world.trayCallCost = 4000;  // Explorer busy ending the session: every tray call blocks 4 s
    uint32_t start = world.now;
    LogoutAtSessionEnd();
    EXPECT_EQ(Field(0), "LOGOUT") << "the tray must not use up the bound before the LOGOUT";
    EXPECT_EQ(fake::Socket().sent.size(), 512u);
    EXPECT_EQ(gAgent.connState, kLogoutReading);
    EXPECT_LE(world.now - start, 3500u) << "Windows must get its answer within the bound";
}

TEST_F(Control, SessionEndForAnInstallerQuitsAfterTheLogoff) {
    struct {
        const char* name;
        bool session;
        bool closeApp;
        bool quits;
    } cases[] = {
        {"installer, during a session", true, true, true},
        {"installer, no session", false, true, true},
        {"Windows session ends", true, false, false},
    };
    for (auto& c : cases) {
        fake::Reset();
        if (c.session) LogOn("1 57");
        LogoutAtSessionEnd();
        EXPECT_EQ(Field(0), c.session ? "LOGOUT" : "<short>") << c.name;
        OnEndSession(true, c.closeApp);
        EXPECT_EQ(world.quitPosted, c.quits) << c.name;
        EXPECT_EQ(world.quitCode, c.quits ? 0 : -1) << c.name;
    }
}

}  // namespace

namespace {

// The router's logon at start against a server that is not there yet: the unattended one is
// tried again by the reconnect timer, with the password it was given; a user's is not.
TEST_F(Control, UnattendedLogonIsTriedAgainAfterANetworkFailure) {
    for (bool unattended : {true, false}) {
        fake::Reset();
        world.noLogonWindow = true;
        PlatSetTimer(kTimerReconnect, kRetryDelayStart);
        if (unattended)
            CommandLogOnUnattended("ivanov", "secret");
        else
            CommandLogOn("ivanov", "secret", true);
        fake::Event(kSocketConnected, kNetRefused);
        EXPECT_EQ(gAgent.connState, kIdle) << unattended;
        size_t sockets = world.socketOrder.size();
        fake::Advance(kRetryDelayStart);
        EXPECT_EQ(world.socketOrder.size(), sockets + (unattended ? 1 : 0)) << unattended;
        if (!unattended) continue;
        PlatSocket logon = fake::CurrentSocket();
        fake::Serve("1 57");
        EXPECT_EQ(Field(1, logon), "ivanov");
        EXPECT_EQ(Field(2, logon), "secret");
        EXPECT_TRUE(gAgent.sessionActive);
    }
}

}  // namespace
