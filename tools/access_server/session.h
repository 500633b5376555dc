// What the server answers: accounts, sessions and fixed replies. All texts are CP1251 bytes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "tools/access_server/faults.h"
#include "tools/access_server/request.h"

// Figures a PING '1' and a GETINFO report; an account may override each of them.
struct Figures {
    std::string balance = "150.25";
    std::string cost = "3.10";
    std::string digit = "0";
    std::string message;  // appended to PING '1' after a space when not empty
    std::string info;     // GETINFO text; empty: built from balance and cost
};

struct AccountFigures {
    std::optional<std::string> balance, cost, digit, message, info;
};

struct Account {
    std::string password;
    AccountFigures figures;
};

struct Session {
    std::string login;
    double startedAt = 0;
    int pendingLeft = 0;  // PINGs still to be answered '2'
    bool active = true;   // false once the server has ended it
    bool endPending = false;
    std::string endText;
};

struct ServerState {
    std::map<std::string, Account> accounts;
    Figures figures;
    std::map<std::string, std::string> fixedReplies;  // verb -> reply, answered without logic
    std::optional<std::string> refuseLogon;           // answers every LOGON "0 <text>"
    int pingSeconds = -1;                             // >= 0: LOGON answers "3 <id> <seconds>"
    int pendingPings = 0;
    double endSessionAfter = -1;  // seconds after logon; < 0: never
    std::string wrongPasswordText;
    std::string endText;
    std::string unknownSessionText;
    std::string unknownVerbText;
    uint64_t nextSessionId = 1;
    std::map<std::string, Session> sessions;                      // by id text
    std::map<std::string, std::set<std::string>> acceptedBlocks;  // login -> third blocks
    FaultPlan faults;
};

// A state with the default texts.
ServerState MakeServerState();

struct Answer {
    std::string reply;
    bool block3Seen = false;  // LOGON: the third block equals one of an earlier accepted logon
    bool fixed = false;       // the reply came from a fixed reply
};

// The reply to one decrypted request at `now` (seconds), and what it did to the sessions.
Answer AnswerRequest(ServerState* state, const Request& request, double now);

// The figures in force for a login: its own overrides, else the server-wide ones.
Figures FiguresFor(const ServerState& state, const std::string& login);

// Makes the next PING of every active session of `login` answer '0' `text`; false if none.
bool EndSessionsOf(ServerState* state, const std::string& login, const std::string& text);

// Marks one field of an account ("*" for the server-wide figures); false with a reason.
bool SetFigure(ServerState* state, const std::string& login, const std::string& field,
               const std::string& value, std::string* error);
