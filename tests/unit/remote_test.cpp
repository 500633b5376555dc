// The control protocol of the agents without windows, on the fake platform: each command and its
// answer, the answers that wait for a request, and what a hostile client can send.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/json_writer.h"
#include "app/remote.h"
#include "tests/unit/test_util.h"

using fake::world;

namespace {

class Remote : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        world.noLogonWindow = true;  // the form is the view's, as on the Linux agent
    }
};

// The request line as a client sends it (UTF-8, tabs between fields), and the answer.
RemoteAnswer Ask(const std::string& utf8) {
    ControlClient client;
    ControlOpen(&client, PlatNowMs());
    std::string line = utf8 + "\n";
    char* at = nullptr;
    size_t room = ControlRoom(&client, &at);
    EXPECT_GE(room, line.size());
    memcpy(at, line.data(), line.size());
    bool done = ControlReceived(&client, line.size());
    if (!done) {
        EXPECT_NE(client.answer.wait, kRemoteAnswered) << utf8 << ": neither done nor waiting";
        client.answer.code = -1;  // waits: the test goes on with RemoteCheck
    }
    return client.answer;
}

TEST_F(Remote, CommandsAndTheirAnswers) {
    struct {
        const char* name;
        void (*arrange)();
        std::string request;
        int code;
        std::string text;  // UTF-8; the start of the answer's text
    } cases[] = {
        {"status, before any logon", [] {}, "status", kExitOk, "state: disconnected"},
        {"status when connected",
         [] {
             LogOn("1 57");
             PingAnswered("1 42.50 1.25 0");
         },
         "status", kExitOk, "state: connected\nПодключен\nБаланс: 42.50"},
        {"status in JSON",
         [] {
             LogOn("1 57");
             PingAnswered("1 42.50 1.25 1");
         },
         "status\tjson", kExitOk,
         "{\"state\": \"limit\", \"session\": true, \"tooltip\": \"Скоро лимит\\nБаланс: "
         "42.50\\nЗа сессию: 1.25\", \"balance\": \"42.50\", \"session_cost\": \"1.25\""},
        {"status after a failure: its cause, then what the user reads",
         [] {
             OnCommand(IDC_CONNECT);
             fake::Event(kSocketConnected, kNetRefused);
         },
         "status", kExitOk,
         "state: error\ncause: port_closed\nНевозможно соединиться с сервером\n\nНевозможно "
         "соединиться с сервером\nПорт сервера закрыт"},
        {"login during a session", [] { LogOn("1 57"); }, "login\tivanov\tsecret\t0", kExitFailed,
         "Уже подключен"},
        {"login while a request runs",
         [] {
             LogOn("1 57");
             OnCommand(IDM_INFO);
         },
         "login\tivanov\tsecret\t0", kExitFailed, "Уже подключен"},
        {"login with a login too long", [] {}, "login\t" + std::string(64, 'a') + "\tx\t0",
         kExitUsage, "login: the login or the password is too long"},
        {"login with no login ever given", [] {}, "login\t\tsecret\t0", kExitUsage,
         "login: no login given"},
        {"login with a field missing", [] {}, "login\tivanov\tsecret", kExitUsage,
         "login: bad request"},
        {"logout without a session", [] {}, "logout", kExitOk, "Отключен"},
        {"info without a session", [] {}, "info", kExitFailed, "Отключен"},
        {"autostart on", [] {}, "autostart\ton", kExitOk, "autostart: on"},
        {"autostart with a bad word", [] {}, "autostart\tmaybe", kExitUsage, "autostart: give"},
        {"autostart under --domain", [] { gAgent.autorunLocked = true; }, "autostart\ton",
         kExitFailed, "autostart: locked off"},
        {"an unknown command", [] {}, "frobnicate", kExitUsage, "unknown command"},
        {"too many fields", [] {}, "status\t1\t2\t3\t4\t5\t6", kExitUsage, "too many arguments"},
        {"status with a word after it", [] {}, "status\tjson\tmore", kExitUsage, "unknown command"},
        {"the sleep of earlier test builds is no command", [] {}, "sleep\t600", kExitUsage,
         "unknown command"},
    };
    for (auto& c : cases) {
        SetUp();
        c.arrange();
        RemoteAnswer answer = Ask(c.request);
        EXPECT_EQ(answer.code, c.code) << c.name;
        EXPECT_EQ(std::string(answer.text).substr(0, c.text.size()), c.text) << c.name;
    }
}

TEST_F(Remote, StatusInJsonCarriesTheCause) {
    RemoteAnswer answer = Ask("status\tjson");
    EXPECT_NE(std::string(answer.text).find("\"cause\": null, \"cause_text\": null"),
              std::string::npos)
        << answer.text;
    OnCommand(IDC_CONNECT);
    fake::Event(kSocketConnected, kNetHostUnreachable);
    answer = Ask("status\tjson");
    EXPECT_NE(std::string(answer.text)
                  .find("\"cause\": \"no_route\", \"cause_text\": "
                        "\"Нет маршрута до сервера."),
              std::string::npos)
        << answer.text;
}

// Answers that wait: the logon, the logoff and the statistics answer once their request ended.
TEST_F(Remote, AnswersThatWaitForTheirRequest) {
    struct {
        const char* name;
        void (*arrange)();
        std::string request;
        std::string reply;  // what the server answers
        int code;
        std::string text;
    } cases[] = {
        {"logon accepted", [] {}, "login\tivanov\tsecret\t0", "1 57", kExitOk,
         "Проверка пароля прошла успешно"},
        {"logon refused", [] {}, "login\tivanov\tsecret\t0", "2 Неверный пароль", kExitFailed,
         "Авторизации не выполнена:\nНеверный пароль"},
        {"logon with no answer", [] {}, "login\tivanov\tsecret\t0", "", kExitFailed,
         "Невозможно соединиться с сервером"},
        {"logoff", [] { LogOn("1 57"); }, "logout", "1", kExitOk, "Отключен"},
        {"statistics", [] { LogOn("1 57"); }, "info", "1 Трафик: 10 МБ", kExitOk, "Трафик"},
    };
    for (auto& c : cases) {
        SetUp();
        c.arrange();
        RemoteAnswer answer = Ask(c.request);
        ASSERT_EQ(answer.code, -1) << c.name << ": answered before its request ended";
        EXPECT_FALSE(RemoteCheck(&answer, false)) << c.name << ": the request is still running";
        fake::Serve(c.reply);
        ASSERT_TRUE(RemoteCheck(&answer, false)) << c.name;
        EXPECT_EQ(answer.code, c.code) << c.name;
        EXPECT_EQ(std::string(answer.text).substr(0, c.text.size()), c.text) << c.name;
    }
}

// The logon runs the command a logon window's Connect runs: the login and password given, the
// remembered block only when no password is given, and the box.
TEST_F(Remote, LogonGoesThroughTheCommandNotAWindow) {
    RemoteAnswer answer = Ask("login\tivanov\tS3cr3t\t1");
    fake::Serve("1 57");
    ASSERT_TRUE(RemoteCheck(&answer, false));
    EXPECT_EQ(Field(1, world.socketOrder[0]), "ivanov");
    EXPECT_EQ(Field(2, world.socketOrder[0]), "S3cr3t");
    EXPECT_EQ(world.registry["Software\\Vorna\\AuthUtility"]["login"].data, "ivanov")
        << "remembered";
    // With the policy in force the logon still works, and the answer says what was not kept.
    SetUp();
    gAgent.rememberForbidden = true;
    answer = Ask("login\tivanov\tS3cr3t\t1");
    fake::Serve("1 57");
    ASSERT_TRUE(RemoteCheck(&answer, false));
    EXPECT_EQ(answer.code, kExitOk);
    EXPECT_NE(std::string(answer.text).find("запрещено политикой"), std::string::npos)
        << answer.text;
    EXPECT_EQ(world.registry["Software\\Vorna\\AuthUtility"].count("login"), 0u);
}

TEST_F(Remote, QuitWaitsForTheRequestInFlight) {
    LogOn("1 57");
    fake::Advance(fake::TimerPeriod(kTimerPing));  // a PING under way
    RemoteAnswer answer = Ask("quit");
    EXPECT_EQ(answer.wait, kRemoteWaitExit);
    EXPECT_FALSE(world.quitPosted);
    fake::Serve("1 5 1 0");
    EXPECT_TRUE(world.quitPosted) << "after the PING, without a LOGOUT";
    RemoteExitAnswer(0, &answer);
    EXPECT_STREQ(answer.text, "the agent has exited (0)");
}

// What a client sends is bounded: a line past the limit, text that is not UTF-8, a line that
// never ends, a line in pieces.
TEST_F(Remote, HostileClients) {
    ControlClient client;
    char* at = nullptr;
    ControlOpen(&client, PlatNowMs());
    size_t room = ControlRoom(&client, &at);
    ASSERT_EQ(room, kMaxRequest);
    memset(at, 'a', room);
    EXPECT_TRUE(ControlReceived(&client, room)) << "a full buffer without a line end is answered";
    EXPECT_EQ(client.answer.code, kExitUsage);
    EXPECT_EQ(ControlReply(client), "1\nrequest too long\n");

    ControlOpen(&client, PlatNowMs());
    ControlRoom(&client, &at);
    memcpy(at, "status\xff\xfe\n", 9);
    EXPECT_TRUE(ControlReceived(&client, 9));
    EXPECT_EQ(client.answer.code, kExitUsage) << "not UTF-8";

    ControlOpen(&client, PlatNowMs());
    ControlRoom(&client, &at);
    memcpy(at, "sta", 3);
    EXPECT_FALSE(ControlReceived(&client, 3));
    EXPECT_FALSE(ControlCheck(&client, PlatNowMs() + kRequestDeadlineMs - 1, false));
    EXPECT_TRUE(ControlCheck(&client, PlatNowMs() + kRequestDeadlineMs, false)) << "too slow";
    EXPECT_EQ(ControlReply(client), "1\nno request in time\n");

    ControlOpen(&client, PlatNowMs());
    ControlRoom(&client, &at);
    memcpy(at, "sta", 3);
    ControlReceived(&client, 3);
    ControlRoom(&client, &at);
    memcpy(at, "tus\n", 4);
    EXPECT_TRUE(ControlReceived(&client, 4)) << "a line in pieces";
    EXPECT_EQ(ControlReply(client).substr(0, 22), "0\nstate: disconnected\n");

    // A request that waits takes no more bytes until it is answered.
    ControlOpen(&client, PlatNowMs());
    ControlRoom(&client, &at);
    memcpy(at, "login\tivanov\tx\t0\n", 17);
    EXPECT_FALSE(ControlReceived(&client, 17));
    EXPECT_EQ(ControlRoom(&client, &at), 0u);
    EXPECT_FALSE(ControlCheck(&client, PlatNowMs() + 60000, false)) << "no deadline while waiting";
}

TEST(JsonWriter, EscapesAsTheStandardAsksAndNeverOverflows) {
    struct {
        const char* value;
        const char* written;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a \"quote\" and a \\ backslash", "\"a \\\"quote\\\" and a \\\\ backslash\""},
        {"line\nfeed\ttab\rreturn", "\"line\\nfeed\\ttab\\rreturn\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\x7f\""},
        {"\xcf\xf0\xe8", "\"\xcf\xf0\xe8\""},  // the agent's own text passes as it is
    };
    for (auto& c : cases) {
        char out[128];
        JsonWriter json;
        JsonBegin(&json, out, sizeof out);
        JsonString(&json, "k", c.value);
        ASSERT_TRUE(JsonEnd(&json)) << c.value;
        EXPECT_EQ(std::string(out), std::string("{\"k\": ") + c.written + "}") << c.value;
    }
    char small[16];
    JsonWriter json;
    JsonBegin(&json, small, sizeof small);
    JsonString(&json, "key", "a value longer than the buffer");
    JsonStringOrNull(&json, "cause", nullptr);
    EXPECT_FALSE(JsonEnd(&json));
    EXPECT_STREQ(small, "{}") << "cut JSON is no JSON: an empty object instead";
}

}  // namespace
