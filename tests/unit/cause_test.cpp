// Why a request failed, as the user is told: each cause from the events that tell it, the
// silent PING retries, and the cause gone with the next success.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session/control.h"
#include "tests/unit/test_util.h"
#include "ui/texts.h"

using fake::world;

namespace {

const char kCannotConnect[] = "Невозможно соединиться с сервером";

// A logon up to the point where its request has been written.
void LogonWritten() {
    fake::world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
    OnCommand(IDC_CONNECT);
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
}

void LogonConnecting() {
    fake::world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
    OnCommand(IDC_CONNECT);
}

void LogonServed(const char* reply) {
    LogonConnecting();
    fake::Serve(reply);
}

// An open session whose next PING is on its way (connecting).
void PingConnecting() {
    LogOn("1 57");
    PingAnswered("1 42.50 1.25 0");
    fake::Advance(fake::TimerPeriod(kTimerPing));
}

// The PING in flight and the next ones time out unanswered, `count` in all; the next PING is
// then in flight.
void LosePings(int count) {
    for (int i = 0; i < count; i++) {
        fake::Advance(kRequestTimeoutMs);
        fake::Advance(fake::TimerPeriod(kTimerPing) - kRequestTimeoutMs);
    }
}

std::string Stats() { return fake::Text(fake::kStatsWindow, IDC_STATS_TEXT); }

TEST(Cause, EachFailureIsToldByItsCause) {
    struct {
        const char* name;
        void (*drive)();
        FailCause cause;
        const char* stats;  // the statistics text; nullptr: the network error's with the cause
    } cases[] = {
        {"the system says the network is unreachable",
         [] {
             LogonConnecting();
             fake::Event(kSocketConnected, kNetUnreachable);
         },
         kCauseNoNetwork, nullptr},
        {"no address other than loopback",
         [] {
             world.hasNetworkAddress = false;
             LogonConnecting();
             fake::Event(kSocketConnected, kNetHostUnreachable);
         },
         kCauseNoNetwork, nullptr},
        {"no address, but the server is on loopback: the port tells",
         [] {
             world.hasNetworkAddress = false;
             strcpy(gConfig.serverAddress, "127.0.0.1");
             LogonConnecting();
             fake::Event(kSocketConnected, kNetRefused);
         },
         kCausePortClosed, nullptr},
        {"host unreachable",
         [] {
             LogonConnecting();
             fake::Event(kSocketConnected, kNetHostUnreachable);
         },
         kCauseNoRoute, nullptr},
        {"an unnamed error on connect",
         [] {
             LogonConnecting();
             fake::Event(kSocketConnected, kNetOther);
         },
         kCauseNoRoute, nullptr},
        {"connection refused",
         [] {
             LogonConnecting();
             fake::Event(kSocketConnected, kNetRefused);
         },
         kCausePortClosed, nullptr},
        {"the connect never completes",
         [] {
             LogonConnecting();
             fake::Advance(kRequestTimeoutMs);
         },
         kCauseConnectTimeout, nullptr},
        {"the system times the connect out",
         [] {
             LogonConnecting();
             fake::Event(kSocketConnected, kNetTimedOut);
         },
         kCauseConnectTimeout, nullptr},
        {"sent, no reply in time",
         [] {
             LogonWritten();
             fake::Advance(kRequestTimeoutMs);
         },
         kCauseReplyTimeout, nullptr},
        {"a partial reply of the protocol's form, then silence",
         [] {
             LogonWritten();
             fake::Socket().inbound = {"1 5"};
             fake::Event(kSocketReadable);
             fake::Advance(kRequestTimeoutMs);
         },
         kCauseReplyTimeout, nullptr},
        {"closed without a byte",
         [] {
             LogonWritten();
             fake::Socket().inbound = {""};
             fake::Event(kSocketReadable);
         },
         kCauseClosedWithoutReply, nullptr},
        {"closed before the request was written",
         [] {
             LogonConnecting();
             fake::Event(kSocketConnected);
             fake::Socket().inbound = {""};
             fake::Event(kSocketClosed);
         },
         kCauseClosedWithoutReply, nullptr},
        {"reset after the request",
         [] {
             LogonWritten();
             fake::Event(kSocketClosed, kNetReset);
         },
         kCauseReset, nullptr},
        {"a read that fails",
         [] {
             LogonWritten();
             fake::Socket().reset = true;
             fake::Event(kSocketReadable);
         },
         kCauseReset, nullptr},
        {"a web server's redirect", [] { LogonServed("HTTP/1.1 302 Found\r\nLocation: /"); },
         kCauseNotAccessServer, nullptr},
        {"a page", [] { LogonServed("<html><body>Вход в сеть</body></html>"); },
         kCauseNotAccessServer, nullptr},
        {"a web server that keeps the connection open",
         [] {
             LogonWritten();
             fake::Socket().inbound = {"HTTP/1.1 400 Bad Request\r\n"};
             fake::Event(kSocketReadable);
             fake::Advance(kRequestTimeoutMs);
         },
         kCauseNotAccessServer, nullptr},
        {"an accepted logon with session 0", [] { LogonServed("1 0"); }, kCauseNotAccessServer,
         nullptr},
        {"a PING answered in no known form",
         [] {
             PingConnecting();
             fake::Serve("HTTP/1.0 200 OK");
         },
         kCauseNotAccessServer, nullptr},
        {"logon impossible", [] { LogonServed("0 Сервер занят"); }, kCauseRefused,
         "Подключение невозможно:\nСервер занят"},
        {"authorisation refused", [] { LogonServed("2 Неверный пароль"); }, kCauseRefused,
         "Авторизации не выполнена:\nНеверный пароль"},
        {"session ended by the server",
         [] {
             PingConnecting();
             fake::Serve("0 Сессия закрыта");
         },
         kCauseRefused, " Сессия закрыта"},
        {"three lost PINGs pass in silence",
         [] {
             PingConnecting();
             LosePings(3);
         },
         kCauseNone, ""},
        {"the fourth is told",
         [] {
             PingConnecting();
             LosePings(3);
             fake::Event(kSocketConnected);
             fake::Event(kSocketWritable);
             fake::Advance(kRequestTimeoutMs);
         },
         kCauseReplyTimeout, nullptr},
        {"an open session lost",
         [] {
             PingConnecting();
             fake::Event(kSocketConnected, kNetReset);
         },
         kCauseReset, nullptr},
    };
    ConfigBlock saved = gConfig;
    for (auto& c : cases) {
        fake::Reset();
        c.drive();
        gConfig = saved;
        const AccountView& view = gAgent.view;
        EXPECT_EQ(view.cause, c.cause) << c.name;
        if (c.cause == kCauseNone) {
            EXPECT_STREQ(view.causeText, "") << c.name;
            EXPECT_EQ(Stats(), c.stats) << c.name;
            continue;
        }
        std::string expected =
            c.stats ? c.stats : std::string(kCannotConnect) + "\n" + kCauseTexts[c.cause];
        EXPECT_EQ(Stats(), expected) << c.name;
        if (c.cause != kCauseRefused) {
            EXPECT_STREQ(view.causeText, kCauseTexts[c.cause]) << c.name;
            EXPECT_EQ(fake::LastTip(), kCannotConnect) << c.name << ": the tooltip stays";
        } else {
            EXPECT_EQ(std::string(view.causeText).rfind("Отказ сервера: ", 0), 0u) << c.name;
        }
        std::string line = std::string("Причина сбоя (") + kCauseCodes[c.cause] + "): ";
        EXPECT_TRUE(fake::HasDebugLine(line + view.causeText)) << c.name;
    }
}

TEST(Cause, ALostSessionsNotificationCarriesTheCause) {
    fake::Reset();
    PingConnecting();
    world.balloons.clear();
    fake::Event(kSocketConnected, kNetRefused);
    ASSERT_EQ(world.balloons.size(), 1u);
    EXPECT_EQ(world.balloons[0].title, "Соединение потеряно");
    EXPECT_EQ(world.balloons[0].text, kCauseTexts[kCausePortClosed]);
}

// After a failure the next success clears the cause, and the statistics text follows the state
// instead of still saying the server cannot be reached.
TEST(Cause, TheNextSuccessClearsTheCause) {
    struct {
        const char* name;
        const char* ping;   // the first PING's answer
        const char* stats;  // the statistics text then
    } cases[] = {
        {"PING without a message", "1 42.50 1.25 0", "Подключен\nБаланс: 42.50\nЗа сессию: 1.25"},
        {"PING with a message", "1 42.50 1.25 0 Тариф: дневной", "Тариф: дневной"},
    };
    for (auto& c : cases) {
        fake::Reset();
        LogonConnecting();
        fake::Event(kSocketConnected, kNetRefused);
        ASSERT_EQ(gAgent.view.cause, kCausePortClosed) << c.name;
        LogOn("1 57");
        EXPECT_EQ(gAgent.view.cause, kCauseNone) << c.name;
        EXPECT_STREQ(gAgent.view.causeText, "") << c.name;
        EXPECT_EQ(Stats(), kTextPasswordAccepted) << c.name;
        PingAnswered(c.ping);
        EXPECT_EQ(Stats(), c.stats) << c.name;
        // From then on the statistics text is the server's again: a GETINFO answer stays.
        OnCommand(IDM_INFO);
        fake::Serve("1 Трафик: 10 МБ");
        PingAnswered("1 40.00 3.75 0");
        EXPECT_EQ(Stats(), "Трафик: 10 МБ") << c.name;
    }
}

}  // namespace
