#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/cp1251.h"
#include "tools/access_server/session.h"

namespace {

// CP1251 bytes of a UTF-8 literal.
std::string W(const std::string& utf8) {
    std::string bytes, error;
    EXPECT_TRUE(Utf8ToCp1251(utf8, &bytes, &error)) << error;
    return bytes;
}

struct Step {
    const char* verb;
    std::string login;
    std::string third;  // password or session id
    const char* fourth;
    double now;
    std::string reply;
};

struct SessionCase {
    const char* name;
    std::function<void(ServerState*)> setup;
    std::vector<Step> steps;
};

Request Make(const Step& step) {
    Request request;
    request.fields[0] = step.verb;
    request.fields[1] = step.login;
    request.fields[2] = step.third;
    request.fields[3] = step.fourth;
    request.block3 = "cipher of " + step.third;
    return request;
}

void Accounts(ServerState* state) {
    state->accounts[W("иванов")].password = W("секрет");
    state->accounts["petrov"].password = "qwerty";
}

TEST(Session, RequestSequencesGetTheirReplies) {
    const std::string ivanov = W("иванов"), secret = W("секрет");
    const std::string info = "1 " + W("Баланс: 150.25\nЗа сессию: 3.10");
    const std::string unknown = W("Сессия не найдена");
    const SessionCase cases[] = {
        {"whole session with two pending pings",
         [](ServerState* s) {
             Accounts(s);
             s->pendingPings = 2;
         },
         {{"LOGON", ivanov, secret, "253702", 0, "1 1"},
          {"PING", ivanov, "1", "1", 2, "2"},
          {"PING", ivanov, "1", "2", 4, "2"},
          {"PING", ivanov, "1", "3", 6, "1 150.25 3.10 0"},
          {"GETINFO", ivanov, "1", "VOID4", 7, info},
          {"LOGOUT", ivanov, "1", "VOID4", 8, "1"},
          {"PING", ivanov, "1", "4", 9, "0" + unknown},
          {"LOGOUT", ivanov, "1", "VOID4", 9, "0 " + unknown}}},
        {"ping interval from the server",
         [](ServerState* s) {
             Accounts(s);
             s->pingSeconds = 10;
         },
         {{"LOGON", "petrov", "qwerty", "253702", 0, "3 1 10"}}},
        {"logon impossible comes before the password check",
         [](ServerState* s) {
             Accounts(s);
             s->refuseLogon = W("Нет средств");
         },
         {{"LOGON", "petrov", "wrong", "253702", 0, "0 " + W("Нет средств")}}},
        {"wrong password, unknown login and wrong case are refused with code 2",
         Accounts,
         {{"LOGON", "petrov", "qwertY", "253702", 0,
           "2 " + W("Неверное имя пользователя или пароль")},
          {"LOGON", "sidorov", "qwerty", "253702", 0,
           "2 " + W("Неверное имя пользователя или пароль")},
          {"LOGON", "Petrov", "qwerty", "253702", 0,
           "2 " + W("Неверное имя пользователя или пароль")},
          {"LOGON", "petrov", "qwerty", "253702", 0, "1 1"}}},
        {"session ids increase from the first one",
         [](ServerState* s) {
             Accounts(s);
             s->nextSessionId = 57;
         },
         {{"LOGON", "petrov", "qwerty", "253702", 0, "1 57"},
          {"LOGON", ivanov, secret, "253702", 0, "1 58"},
          {"PING", "petrov", "57", "1", 1, "1 150.25 3.10 0"},
          {"PING", ivanov, "58", "1", 1, "1 150.25 3.10 0"}}},
        {"a session id belongs to its login",
         Accounts,
         {{"LOGON", "petrov", "qwerty", "253702", 0, "1 1"},
          {"PING", ivanov, "1", "1", 1, "0" + unknown},
          {"GETINFO", ivanov, "1", "VOID4", 1, "0 " + unknown},
          {"LOGOUT", ivanov, "1", "VOID4", 1, "0 " + unknown},
          {"PING", "petrov", "1", "1", 2, "1 150.25 3.10 0"}}},
        {"session ended by the server after a time",
         [](ServerState* s) {
             Accounts(s);
             s->endSessionAfter = 60;
         },
         {{"LOGON", "petrov", "qwerty", "253702", 100, "1 1"},
          {"PING", "petrov", "1", "1", 159.9, "1 150.25 3.10 0"},
          {"PING", "petrov", "1", "2", 160, "0" + W("Сессия завершена сервером")},
          {"PING", "petrov", "1", "3", 162, "0" + W("Сессия завершена сервером")},
          {"GETINFO", "petrov", "1", "VOID4", 163, "0 " + W("Сессия завершена сервером")},
          {"LOGOUT", "petrov", "1", "VOID4", 164, "1"}}},
        {"message, status digit and one account's own figures",
         [](ServerState* s) {
             Accounts(s);
             s->figures.message = W("Пополните счёт");
             s->accounts["petrov"].figures.balance = "2.50";
             s->accounts["petrov"].figures.digit = "1";
         },
         {{"LOGON", "petrov", "qwerty", "253702", 0, "1 1"},
          {"LOGON", ivanov, secret, "253702", 0, "1 2"},
          {"PING", "petrov", "1", "1", 1, "1 2.50 3.10 1 " + W("Пополните счёт")},
          {"PING", ivanov, "2", "1", 1, "1 150.25 3.10 0 " + W("Пополните счёт")},
          {"GETINFO", "petrov", "1", "VOID4", 2, "1 " + W("Баланс: 2.50\nЗа сессию: 3.10")}}},
        {"an info text replaces the built statistics",
         [](ServerState* s) {
             Accounts(s);
             s->figures.info = "x\ny";
         },
         {{"LOGON", "petrov", "qwerty", "253702", 0, "1 1"},
          {"GETINFO", "petrov", "1", "VOID4", 1, "1 x\ny"}}},
        {"a fixed reply answers without touching sessions",
         [](ServerState* s) {
             Accounts(s);
             s->fixedReplies["LOGON"] = "1 0";
         },
         {{"LOGON", "petrov", "qwerty", "253702", 0, "1 0"},
          {"LOGON", "nobody", "x", "253702", 0, "1 0"},
          {"PING", "petrov", "0", "1", 1, "0" + unknown},
          {"PING", "petrov", "1", "1", 1, "0" + unknown}}},
        {"a fixed empty reply",
         [](ServerState* s) { s->fixedReplies["PING"] = ""; },
         {{"PING", "petrov", "1", "1", 0, ""}}},
        {"unknown verb",
         Accounts,
         {{"HELLO", "petrov", "qwerty", "x", 0, "0 " + W("Неизвестный запрос")}}},
    };
    for (const SessionCase& c : cases) {
        ServerState state = MakeServerState();
        c.setup(&state);
        int index = 0;
        for (const Step& step : c.steps) {
            ++index;
            const Answer answer = AnswerRequest(&state, Make(step), step.now);
            EXPECT_EQ(Cp1251ToUtf8(answer.reply), Cp1251ToUtf8(step.reply))
                << c.name << ", step " << index << " (" << step.verb << ")";
        }
    }
}

TEST(Session, ServerEndedSessionAnswersZeroWithItsText) {
    ServerState state = MakeServerState();
    Accounts(&state);
    state.pendingPings = 1;
    EXPECT_FALSE(EndSessionsOf(&state, "petrov", "bye")) << "no session yet";
    AnswerRequest(&state, Make({"LOGON", "petrov", "qwerty", "253702", 0, ""}), 0);
    AnswerRequest(&state, Make({"LOGON", "petrov", "qwerty", "253702", 0, ""}), 0);
    ASSERT_TRUE(EndSessionsOf(&state, "petrov", "bye"));
    // Both sessions end, the pending '2' notwithstanding.
    EXPECT_EQ(AnswerRequest(&state, Make({"PING", "petrov", "1", "1", 1, ""}), 1).reply, "0bye");
    EXPECT_EQ(AnswerRequest(&state, Make({"PING", "petrov", "2", "1", 1, ""}), 1).reply, "0bye");
    EXPECT_EQ(AnswerRequest(&state, Make({"PING", "petrov", "1", "2", 2, ""}), 2).reply, "0bye");
    EXPECT_FALSE(EndSessionsOf(&state, "petrov", "again")) << "ended sessions are not active";
}

TEST(Session, ResentThirdBlockOfAnAcceptedLogonIsRecognised) {
    ServerState state = MakeServerState();
    Accounts(&state);
    Request logon = Make({"LOGON", "petrov", "qwerty", "253702", 0, ""});
    logon.block3 = "ciphertext A";
    EXPECT_FALSE(AnswerRequest(&state, logon, 0).block3Seen) << "first logon";
    EXPECT_TRUE(AnswerRequest(&state, logon, 1).block3Seen) << "same block again";
    logon.block3 = "ciphertext B";
    EXPECT_FALSE(AnswerRequest(&state, logon, 2).block3Seen) << "new encryption of the password";
    Request refused = Make({"LOGON", "petrov", "wrong", "253702", 0, ""});
    refused.block3 = "ciphertext C";
    AnswerRequest(&state, refused, 3);
    refused.fields[2] = "qwerty";
    EXPECT_FALSE(AnswerRequest(&state, refused, 4).block3Seen) << "refused blocks are not stored";
    logon.fields[1] = W("иванов");
    logon.fields[2] = W("секрет");
    logon.block3 = "ciphertext A";
    EXPECT_FALSE(AnswerRequest(&state, logon, 5).block3Seen) << "blocks are kept per login";
}

struct FigureCase {
    const char* name;
    const char* login;
    const char* field;
    const char* value;
    const char* errorPart;  // null: accepted
};

TEST(Session, FiguresAreCheckedBeforeTheyAreSet) {
    const FigureCase cases[] = {
        {"server-wide balance", "*", "balance", "99.00", nullptr},
        {"account digit", "petrov", "digit", "2", nullptr},
        {"digit alias", "petrov", "status-digit", "1", nullptr},
        {"empty message clears it", "petrov", "message", "", nullptr},
        {"account password", "petrov", "password", "new", nullptr},
        {"digit out of range", "petrov", "digit", "3", "0, 1 or 2"},
        {"balance with a space", "*", "balance", "1 2", "one non-empty word"},
        {"empty cost", "*", "cost", "", "one non-empty word"},
        {"unknown account", "sidorov", "balance", "1", "no account sidorov"},
        {"unknown figure", "petrov", "credit", "1", "unknown figure"},
        {"password for everyone", "*", "password", "x", "unknown figure"},
    };
    for (const FigureCase& c : cases) {
        ServerState state = MakeServerState();
        Accounts(&state);
        std::string error;
        const bool ok = SetFigure(&state, c.login, c.field, c.value, &error);
        EXPECT_EQ(ok, c.errorPart == nullptr) << c.name << ": " << error;
        if (c.errorPart) {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
        }
    }
    ServerState state = MakeServerState();
    Accounts(&state);
    std::string error;
    ASSERT_TRUE(SetFigure(&state, "petrov", "password", "new", &error));
    EXPECT_EQ(AnswerRequest(&state, Make({"LOGON", "petrov", "new", "253702", 0, ""}), 0).reply,
              "1 1");
}

}  // namespace
