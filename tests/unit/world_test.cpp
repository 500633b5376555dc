// Resume and network changes: the re-check decision, its retries, and the notifications.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "session/control.h"
#include "session/world.h"
#include "settings/store.h"
#include "tests/unit/test_util.h"
#include "ui/texts.h"

using fake::world;

namespace {

class World : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
};

// A session open with the account in `status` (0 normal, 1 limit near, 2 blocked).
void OpenSession(const char* status = "0") {
    LogOn("1 57");
    PingAnswered(std::string("1 10 1 ") + status);
    ASSERT_TRUE(gAgent.sessionActive && gAgent.linkConfirmed);
}

void Resume() { OnWorldChange(kWorldResume); }

// The request on the wire fails the way a network that is not up yet makes it fail.
void FailOnTheWire() { fake::Event(kSocketConnected, kNetRefused); }

size_t Sockets() { return world.socketOrder.size(); }

std::vector<std::string> BalloonTitles() {
    std::vector<std::string> titles;
    for (const fake::Balloon& b : world.balloons)
        titles.push_back(b.title);
    return titles;
}

enum Sent { kNothing, kPing, kLogon, kLogoff };

TEST_F(World, WhatAChangeSends) {
    struct {
        const char* what;
        void (*arrange)();
        Sent sent;
    } cases[] = {
        {"open session, idle", [] { OpenSession(); }, kPing},
        {"open session, logon window shown",
         [] {
             OpenSession();
             gAgent.mainWindowVisible = true;
         },
         kPing},
        {"accepted, not open yet", [] { LogOn("1 57"); }, kPing},
        {"request in flight",
         [] {
             OpenSession();
             RequestStatistics();
         },
         kNothing},
        {"no session, may reconnect",
         [] {
             gAgent.autoReconnect = true;
             gAgent.mainWindowVisible = false;
         },
         kLogon},
        {"no session, reconnect off", [] { gAgent.mainWindowVisible = false; }, kNothing},
        {"no session, logon window shown",
         [] {
             gAgent.autoReconnect = true;
             gAgent.mainWindowVisible = true;
         },
         kNothing},
        {"ended by the server",
         [] {
             OpenSession();
             PingAnswered("0 Сессия закрыта");
         },
         kLogon},
        {"after a refusal '0' the back-off holds",
         [] {
             gAgent.autoReconnect = true;
             LogOn("0 Занято");
         },
         kNothing},
        {"after a refusal '2'",
         [] {
             gAgent.autoReconnect = true;
             LogOn("2 Неверный пароль");
             gAgent.mainWindowVisible = false;
         },
         kNothing},
        {"after a logoff",
         [] {
             OpenSession();
             StartLogout();
             fake::Serve("1");
         },
         kNothing},
        {"a '0' refusal followed by an accepted logon is over",
         [] {
             gAgent.autoReconnect = true;
             LogOn("0 Занято");
             LogOn("1 58");
             PingAnswered("0 Сессия закрыта");
         },
         kLogon},
    };
    for (auto& c : cases) {
        fake::Reset();
        world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
        world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = "secret";
        c.arrange();
        int before = gAgent.connState;
        size_t sockets = Sockets();
        Resume();
        EXPECT_TRUE(fake::HasDebugLine("Событие: выход из спящего режима")) << c.what;
        switch (c.sent) {
            case kPing:
                EXPECT_EQ(gAgent.connState, kPingConnecting) << c.what;
                EXPECT_EQ(Sockets(), sockets + 1) << c.what;
                break;
            case kLogon:
            case kLogoff:
                EXPECT_EQ(gAgent.connState, kLogonConnecting) << c.what;
                EXPECT_EQ(Sockets(), sockets + 1) << c.what;
                break;
            case kNothing:
                EXPECT_EQ(gAgent.connState, before) << c.what;
                EXPECT_EQ(Sockets(), sockets) << c.what;
                break;
        }
    }
}

// What the re-check's PING leads to, by its outcome (kLogoff: the LOGOUT of the session the
// server may still hold, then the logon).
TEST_F(World, ThePingsOutcome) {
    struct {
        const char* what;
        bool autoReconnect;
        void (*outcome)();
        Sent next;
    } cases[] = {
        {"answered '1'", true, [] { fake::Serve("1 10 1 0"); }, kNothing},
        {"answered '2'", true, [] { fake::Serve("2"); }, kNothing},
        {"answered '0'", true, [] { fake::Serve("0 Сессия закрыта"); }, kLogon},
        {"answered '0', reconnect off", false, [] { fake::Serve("0 Сессия закрыта"); }, kNothing},
        {"socket error", true, FailOnTheWire, kLogoff},
        {"socket error, reconnect off", false, FailOnTheWire, kNothing},
        {"time-out", true, [] { fake::Advance(kRequestTimeoutMs); }, kLogoff},
        {"empty reply", true, [] { fake::Serve(""); }, kLogoff},
        {"unknown reply is no network failure", true, [] { fake::Serve("7"); }, kNothing},
    };
    for (auto& c : cases) {
        fake::Reset();
        OpenSession();
        gAgent.autoReconnect = c.autoReconnect;
        Resume();
        ASSERT_EQ(gAgent.connState, kPingConnecting) << c.what;
        c.outcome();
        int expected = c.next == kLogon    ? kLogonConnecting
                       : c.next == kLogoff ? kLogoutConnecting
                                           : kIdle;
        EXPECT_EQ(gAgent.connState, expected) << c.what;
        if (c.next != kLogoff) continue;
        // The server may still hold the session: its LOGOUT goes first, then the logon.
        fake::Serve("1");
        EXPECT_EQ(gAgent.connState, kLogonConnecting) << c.what;
    }
}

// The PING goes the way of SendPing: it carries and raises the session's counter.
TEST_F(World, TheCheckIsAnOrdinaryPing) {
    OpenSession();
    int counter = gAgent.pingCounter;
    Resume();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    EXPECT_EQ(Field(0), "PING");
    EXPECT_EQ(Field(3), std::to_string(counter));
    EXPECT_EQ(gAgent.pingCounter, counter + 1);
}

// A PING already on the wire when the machine wakes answers for the resume.
TEST_F(World, ARequestUnderWayIsTakenAsTheCheck) {
    OpenSession();
    fake::Advance(fake::TimerPeriod(kTimerPing));  // the PING timer fires first
    ASSERT_EQ(gAgent.connState, kPingConnecting);
    size_t sockets = Sockets();
    Resume();
    EXPECT_EQ(Sockets(), sockets);
    fake::Serve("0 Сессия закрыта");
    EXPECT_EQ(gAgent.connState, kLogonConnecting);
}

// Logons started (ms after the event) while the network stays down: each request either
// fails at once or, with `timeouts`, is never answered.
std::vector<uint32_t> LogonsWhileDown(bool timeouts) {
    uint32_t start = world.now;
    std::vector<uint32_t> at;
    PlatSocket seen = fake::CurrentSocket();
    if (!timeouts) FailOnTheWire();  // the PING
    for (uint32_t t = 0; t <= 120000; t += 100) {
        if (gAgent.connState != kIdle && fake::CurrentSocket() != seen) {
            seen = fake::CurrentSocket();
            if (gAgent.connState == kLogonConnecting) at.push_back(world.now - start);
            if (!timeouts) FailOnTheWire();
        }
        fake::Advance(100);
    }
    return at;
}

TEST_F(World, RetriesAfter2_4_8sAndStop30sAfterTheEvent) {
    struct {
        const char* what;
        bool timeouts;
        std::vector<uint32_t> logons;
    } cases[] = {
        // The LOGOUT of the session the server may hold goes first (at 0, or at 3500 ms).
        {"refused at once", false, {2000, 6000, 14000, 30000}},
        {"each request times out", true, {9000, 16500, 28000}},
    };
    for (auto& c : cases) {
        fake::Reset();
        OpenSession();
        Resume();
        EXPECT_EQ(LogonsWhileDown(c.timeouts), c.logons) << c.what;
        EXPECT_FALSE(fake::TimerRunning(kTimerWorld)) << c.what;
    }
}

// Once the network is back the retry logs on and the episode ends.
TEST_F(World, ARetryThatSucceedsEndsTheRetries) {
    OpenSession();
    Resume();
    FailOnTheWire();  // PING
    FailOnTheWire();  // the LOGOUT of the session the server may hold
    fake::Advance(2000);
    ASSERT_EQ(gAgent.connState, kLogonConnecting);
    fake::Serve("1 58");
    EXPECT_TRUE(gAgent.sessionActive);
    EXPECT_FALSE(fake::TimerRunning(kTimerWorld));
    size_t sockets = Sockets();
    fake::Advance(1900);  // before the fast PING timer
    EXPECT_EQ(Sockets(), sockets);
}

// A refusal during the retries ends them: '2' for good, '0' leaves it to the reconnect timer.
TEST_F(World, RefusalsEndTheRetries) {
    for (const char* refusal : {"0 Занято", "2 Неверный пароль"}) {
        fake::Reset();
        OpenSession();
        Resume();
        FailOnTheWire();
        fake::Serve("1");  // the LOGOUT of the session the server may hold
        fake::Serve(refusal);
        size_t sockets = Sockets();
        fake::Advance(60000 - 1);
        EXPECT_EQ(Sockets(), sockets) << refusal;
        Resume();
        EXPECT_EQ(Sockets(), sockets) << refusal;
    }
}

TEST_F(World, ABurstOfEventsGivesOneCheck) {
    OpenSession();
    size_t sockets = Sockets();
    Resume();
    fake::Serve("1 10 1 0");
    fake::Advance(400);
    OnWorldChange(kWorldAddressChange);
    fake::Advance(400);
    OnWorldChange(kWorldAddressChange);
    fake::Advance(900);  // still within a second of the last one
    Resume();
    EXPECT_EQ(Sockets(), sockets + 1) << "one check for the burst";
    fake::Advance(1100);
    OnWorldChange(kWorldAddressChange);
    EXPECT_EQ(Sockets(), sockets + 2) << "a later event checks again";
    EXPECT_EQ(gAgent.connState, kPingConnecting);
    size_t events = 0;
    for (const std::string& line : world.debug)
        events += line.rfind("Событие: ", 0) == 0;
    EXPECT_EQ(events, 5u);
}

// Address changes every 1.1 s for a minute (a flapping link): the requests each new socket
// carried, by the state the agent opened it in. `answer` plays the server (or the lost network).
std::vector<int> RequestsInAStorm(void (*answer)()) {
    std::vector<int> requests;
    PlatSocket seen = fake::CurrentSocket();
    for (uint32_t t = 0; t < 60000; t += 100) {
        if (t % 1100 == 0) OnWorldChange(kWorldAddressChange);
        if (gAgent.connState != kIdle && fake::CurrentSocket() != seen) {
            seen = fake::CurrentSocket();
            requests.push_back(gAgent.connState);
            answer();
        }
        fake::Advance(100);
    }
    return requests;
}

TEST_F(World, AStormOfChangesCostsAFewRequestsAMinute) {
    struct {
        const char* what;
        void (*answer)();
        size_t most;
    } cases[] = {
        {"PINGs answered", [] { fake::Serve("1 10 1 0"); }, 6},
        {"network gone: refused at once", FailOnTheWire, 8},
        {"network gone: nothing answers", [] {}, 8},
    };
    for (auto& c : cases) {
        fake::Reset();
        OpenSession();
        std::vector<int> requests = RequestsInAStorm(c.answer);
        EXPECT_LE(requests.size(), c.most) << c.what;
        EXPECT_GE(requests.size(), 3u) << c.what << ": changes are still checked";
        // A session the server may still hold is logged off before any new logon.
        bool mayBeOpen = true;
        for (int state : requests) {
            if (state == kLogonConnecting) {
                EXPECT_FALSE(mayBeOpen) << c.what << ": a LOGON with the last session still open";
            }
            if (state == kLogoutConnecting) mayBeOpen = false;
        }
    }
}

// After a storm, one more check sees how the last change left the network.
TEST_F(World, AChangeHeldBackByTheRateIsCheckedOnce) {
    OpenSession();
    size_t sockets = Sockets();
    Resume();
    fake::Serve("1 10 1 0");
    fake::Advance(1100);
    OnWorldChange(kWorldAddressChange);  // too soon after the check
    fake::Advance(400);
    EXPECT_EQ(Sockets(), sockets + 1);
    fake::Advance(kWorldMinGapMs);
    EXPECT_EQ(Sockets(), sockets + 2) << "the held change is checked once the gap is over";
    fake::Serve("1 10 1 0");
    fake::Advance(30000);
    EXPECT_EQ(Sockets(), sockets + 2) << "and only once";
}

// Which transitions notify: a balloon and a debug line each, once per transition.
TEST_F(World, TransitionsThatNotify) {
    struct {
        const char* what;
        void (*steps)();
        std::vector<std::string> titles;
    } cases[] = {
        {"first connection after start", [] { OpenSession(); }, {}},
        {"PINGs in an unchanged state",
         [] {
             OpenSession();
             PingAnswered("1 10 1 0");
             PingAnswered("1 9 2 0");
             OnHover();
             fake::Serve("1 9 2 0");
         },
         {}},
        {"limit near, then blocked, then normal",
         [] {
             OpenSession();
             PingAnswered("1 10 1 1");
             PingAnswered("1 9 1 1");
             PingAnswered("1 0 1 2");
             PingAnswered("1 50 1 0");
         },
         {"Скоро лимит", "Платные сети блокированы"}},
        {"ended by the server, then connected again",
         [] {
             OpenSession();
             PingAnswered("0 Сессия закрыта");
             LogOn("1 58");
             PingAnswered("2");
             PingAnswered("1 10 1 0");
         },
         {"Сессия завершена сервером", "Подключение восстановлено"}},
        {"refused '0' twice, then '2'",
         [] {
             LogOn("0 Занято");
             LogOn("0 Занято");
             gAgent.mainWindowVisible = false;
             LogOn("2 Неверный пароль");
         },
         {"Подключение невозможно", "Авторизации не выполнена"}},
        {"an open session lost, then connected again",
         [] {
             OpenSession();
             fake::Advance(fake::TimerPeriod(kTimerPing));
             FailOnTheWire();
             LogOn("1 58");
             PingAnswered("1 10 1 0");
         },
         {"Соединение потеряно", "Подключение восстановлено"}},
        {"a failed logon is no lost session",
         [] {
             OnCommand(IDC_CONNECT);
             FailOnTheWire();
         },
         {}},
        {"a session not open yet is no lost session",
         [] {
             LogOn("1 57");
             fake::Advance(fake::TimerPeriod(kTimerPing));
             FailOnTheWire();
         },
         {}},
        {"logged off, then on again",
         [] {
             OpenSession();
             StartLogout();
             fake::Serve("1");
             LogOn("1 58");
             PingAnswered("1 10 1 0");
         },
         {"Подключение восстановлено"}},
        {"a lost PING retried quietly",
         [] {
             OpenSession();
             fake::Advance(fake::TimerPeriod(kTimerPing));
             fake::Advance(kRequestTimeoutMs);
         },
         {}},
    };
    for (auto& c : cases) {
        fake::Reset();
        world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
        world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = "secret";
        c.steps();
        EXPECT_EQ(BalloonTitles(), c.titles) << c.what;
        size_t lines = 0;
        for (const std::string& line : world.debug)
            lines += line.rfind("Уведомление: ", 0) == 0;
        EXPECT_EQ(lines, c.titles.size()) << c.what;
    }
}

TEST_F(World, NotificationTexts) {
    OpenSession();
    PingAnswered("0 Сессия закрыта администратором");
    ASSERT_EQ(world.balloons.size(), 1u);
    EXPECT_EQ(world.balloons[0].text, "Сессия закрыта администратором");
    EXPECT_TRUE(fake::HasDebugLine(
        "Уведомление: Сессия завершена сервером: Сессия закрыта администратором"));
    fake::Reset();
    OpenSession();
    PingAnswered("1 7.50 1 1");
    ASSERT_EQ(world.balloons.size(), 1u);
    EXPECT_EQ(world.balloons[0].text, "Скоро лимит\nБаланс: 7.50\nЗа сессию: 1");
    EXPECT_TRUE(
        fake::HasDebugLine("Уведомление: Скоро лимит: Скоро лимит Баланс: 7.50 За сессию: 1"));
    // A server that gives no reason still gets a readable balloon (an empty one would not show).
    fake::Reset();
    OpenSession();
    PingAnswered("0");
    ASSERT_EQ(world.balloons.size(), 1u);
    EXPECT_EQ(world.balloons[0].text, "Сервер не сообщил причину");
}

// The stored "notify" value: absent or non-zero means on, 0 off; off also silences the line.
TEST_F(World, NotifySetting) {
    const char kKey[] = "Software\\Vorna\\AuthUtility";
    struct {
        const char* what;
        bool store;
        fake::RegValue value;
        bool on;
    } cases[] = {
        {"absent", false, {}, true},
        {"1", true, {kValueDword, std::string("\1\0\0\0", 4)}, true},
        {"0", true, {kValueDword, std::string(4, '\0')}, false},
        {"not a DWORD", true, {kValueString, "0"}, true},
    };
    for (auto& c : cases) {
        fake::Reset();
        if (c.store) world.registry[kKey]["notify"] = c.value;
        LoadSettings();
        EXPECT_EQ(gAgent.notifyEnabled, c.on) << c.what;
        OpenSession();
        PingAnswered("1 1 1 1");
        EXPECT_EQ(world.balloons.size(), c.on ? 1u : 0u) << c.what;
        EXPECT_EQ(
            fake::HasDebugLine("Уведомление: Скоро лимит: Скоро лимит Баланс: 1 За сессию: 1"),
            c.on)
            << c.what;
    }
}

TEST_F(World, AddressWatchIsOptional) {
    for (bool fails : {false, true}) {
        fake::Reset();
        world.addressWatchFails = fails;
        StartWorldWatch();
        EXPECT_EQ(world.addressWatches, 1);
        EXPECT_EQ(fake::HasDebugLine("Изменения сетевых адресов не отслеживаются"), fails);
    }
}

}  // namespace
