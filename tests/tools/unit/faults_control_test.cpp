#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/cp1251.h"
#include "tools/access_server/control.h"
#include "tools/access_server/faults.h"

namespace {

struct FaultTextCase {
    const char* text;
    const char* name;       // FaultName of the result; null: refused
    const char* errorPart;  // for refusals
};

TEST(Faults, FaultTextsParseOrSayWhatIsWrong) {
    const FaultTextCase cases[] = {
        {"none", "none", nullptr},
        {"split", "split:20", nullptr},
        {"split:5", "split:5", nullptr},
        {"split:PING", "split:20:PING", nullptr},
        {"close:LOGOUT", "close:LOGOUT", nullptr},
        {"silent", "silent", nullptr},
        {"reset:GETINFO", "reset:GETINFO", nullptr},
        {"oversize:2000", "oversize:2000", nullptr},
        {"oversize:600:PING", "oversize:600:PING", nullptr},
        {"slow:50:LOGON", "slow:50:LOGON", nullptr},
        {"drop", "drop", nullptr},
        {"noaccept", "noaccept", nullptr},
        {"explode", nullptr, "unknown fault"},
        {"oversize", nullptr, "needs a number"},
        {"oversize:PING", nullptr, "needs a number"},
        {"oversize:0", nullptr, "at least 1 byte"},
        {"slow:fast", nullptr, "\"fast\" is not a number"},
        {"slow:-5", nullptr, "not a number"},
        {"close:ping", nullptr, "not a verb"},
        {"close:PING:LOGON", nullptr, "too many parts"},
        {"noaccept:PING", nullptr, "cannot be limited"},
        {"", nullptr, "unknown fault"},
    };
    for (const FaultTextCase& c : cases) {
        FaultSpec fault;
        std::string error;
        const bool ok = ParseFault(c.text, &fault, &error);
        ASSERT_EQ(ok, c.name != nullptr) << c.text << ": " << error;
        if (ok) {
            EXPECT_EQ(FaultName(fault), c.name) << c.text;
        } else {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.text << ": " << error;
        }
    }
}

FaultPlan Plan(const char* text, int remaining) {
    FaultPlan plan;
    std::string error;
    EXPECT_TRUE(ParseFault(text, &plan.fault, &error)) << error;
    plan.remaining = remaining;
    return plan;
}

TEST(Faults, ACountedVerbFaultHitsOnlyItsVerbAndThenEnds) {
    FaultPlan plan = Plan("close:PING", 2);
    EXPECT_EQ(TakeFault(&plan, "").mode, kFaultNone) << "nothing before the verb is known";
    EXPECT_EQ(TakeFault(&plan, "LOGON").mode, kFaultNone);
    EXPECT_EQ(TakeFault(&plan, "PING").mode, kFaultClose);
    EXPECT_EQ(TakeFault(&plan, "GETINFO").mode, kFaultNone);
    EXPECT_EQ(TakeFault(&plan, "PING").mode, kFaultClose);
    EXPECT_EQ(TakeFault(&plan, "PING").mode, kFaultNone) << "spent after two";
    EXPECT_EQ(plan.fault.mode, kFaultNone);
}

TEST(Faults, DropActsAtAcceptOnlyWithoutAVerb) {
    FaultPlan any = Plan("drop", -1);
    EXPECT_EQ(TakeFault(&any, "").mode, kFaultDrop);
    EXPECT_EQ(TakeFault(&any, "PING").mode, kFaultNone) << "already dropped at accept";
    FaultPlan ping = Plan("drop:PING", -1);
    EXPECT_EQ(TakeFault(&ping, "").mode, kFaultNone);
    EXPECT_EQ(TakeFault(&ping, "PING").mode, kFaultDrop);
    FaultPlan noaccept = Plan("noaccept", 1);
    EXPECT_EQ(TakeFault(&noaccept, "").mode, kFaultNone) << "noaccept is the loop's business";
    EXPECT_EQ(noaccept.fault.mode, kFaultNoAccept) << "and is not used up";
    FaultPlan forever = Plan("silent", -1);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(TakeFault(&forever, "LOGON").mode, kFaultSilent);
}

std::string W(const std::string& utf8) {
    std::string bytes, error;
    EXPECT_TRUE(Utf8ToCp1251(utf8, &bytes, &error)) << error;
    return bytes;
}

struct ControlCase {
    const char* line;
    ControlResult result;
    const char* detailPart;
    std::function<bool(const ServerState&)> effect;  // null: nothing to check
};

TEST(Control, CommandsChangeTheStateOrSayWhy) {
    const ControlCase cases[] = {
        {"quit", kControlQuit, "quitting", nullptr},
        {"quit now", kControlError, "unknown command", nullptr},
        {"end-session petrov Сеанс окончен", kControlOk, "answered 0",
         [](const ServerState& s) { return s.sessions.at("1").endText == W("Сеанс окончен"); }},
        {"end-session petrov", kControlOk, "answered 0",
         [](const ServerState& s) { return s.sessions.at("1").endText == s.endText; }},
        {"end-session sidorov x", kControlError, "no active session of sidorov", nullptr},
        {"fault slow:30:PING 3", kControlOk, "for 3 requests",
         [](const ServerState& s) {
             return s.faults.fault.mode == kFaultSlow && s.faults.fault.amount == 30 &&
                    s.faults.fault.verb == "PING" && s.faults.remaining == 3;
         }},
        {"fault none", kControlOk, "fault none",
         [](const ServerState& s) { return s.faults.fault.mode == kFaultNone; }},
        {"fault close 0", kControlError, "COUNT from 1", nullptr},
        {"fault boom", kControlError, "unknown fault", nullptr},
        {"reply PING 1 5.00 0.50 2 Лимит\\nблизко", kControlOk, "fixed reply",
         [](const ServerState& s) {
             return s.fixedReplies.at("PING") == W("1 5.00 0.50 2 Лимит\nблизко");
         }},
        {"reply LOGON ", kControlOk, "fixed reply",
         [](const ServerState& s) { return s.fixedReplies.at("LOGON").empty(); }},
        {"reply HELLO x", kControlError, "usage", nullptr},
        {"clear-reply GETINFO", kControlOk, "cleared",
         [](const ServerState& s) {
             return s.fixedReplies.count("GETINFO") == 0 && s.fixedReplies.size() == 1;
         }},
        {"clear-reply *", kControlOk, "cleared",
         [](const ServerState& s) { return s.fixedReplies.empty(); }},
        {"set petrov message Пополните счёт", kControlOk, "set",
         [](const ServerState& s) {
             return *s.accounts.at("petrov").figures.message == W("Пополните счёт");
         }},
        {"set * balance 0.00", kControlOk, "set",
         [](const ServerState& s) { return s.figures.balance == "0.00"; }},
        {"set petrov digit 7", kControlError, "0, 1 or 2", nullptr},
        {"set petrov", kControlError, "usage", nullptr},
        {"pending-pings 4", kControlOk, "4 PING answers",
         [](const ServerState& s) { return s.pendingPings == 4; }},
        {"pending-pings -1", kControlError, "usage", nullptr},
        {"", kControlError, "unknown command", nullptr},
    };
    for (const ControlCase& c : cases) {
        ServerState state = MakeServerState();
        state.accounts["petrov"].password = "qwerty";
        state.sessions["1"].login = "petrov";
        state.fixedReplies["GETINFO"] = "1 x";
        state.fixedReplies["LOGOUT"] = "1";
        std::string detail;
        const ControlResult result =
            ApplyControlCommand(&state, c.line + std::string("\r\n"), &detail);
        EXPECT_EQ(result, c.result) << c.line << ": " << detail;
        EXPECT_NE(detail.find(c.detailPart), std::string::npos) << c.line << ": " << detail;
        if (c.effect) {
            EXPECT_TRUE(c.effect(state)) << c.line;
        }
    }
}

}  // namespace
