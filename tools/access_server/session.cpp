#include "tools/access_server/session.h"

#include <cassert>

#include "core/cp1251.h"

namespace {

// Bounds, so that a fuzzer or a long soak cannot grow the server without limit.
const size_t kMaxSessions = 4096;
const size_t kMaxBlocksPerLogin = 64;

struct FigureName {
    const char* name;
    const char* alias;
    std::string Figures::*shared;
    std::optional<std::string> AccountFigures::*own;
};

const FigureName kFigureNames[] = {
    {"balance", nullptr, &Figures::balance, &AccountFigures::balance},
    {"cost", nullptr, &Figures::cost, &AccountFigures::cost},
    {"digit", "status-digit", &Figures::digit, &AccountFigures::digit},
    {"message", nullptr, &Figures::message, &AccountFigures::message},
    {"info", nullptr, &Figures::info, &AccountFigures::info},
};

std::string Cp1251(const char* utf8) {
    std::string bytes, error;
    const bool ok = Utf8ToCp1251(utf8, &bytes, &error);
    assert(ok);
    (void)ok;
    return bytes;
}

Session* FindSession(ServerState* state, const Request& request) {
    auto found = state->sessions.find(request.fields[2]);
    if (found == state->sessions.end() || found->second.login != request.fields[1]) {
        return nullptr;
    }
    return &found->second;
}

std::string AnswerLogon(ServerState* state, const Request& request, double now, Answer* answer) {
    if (state->refuseLogon) return "0 " + *state->refuseLogon;
    const std::string& login = request.fields[1];
    auto account = state->accounts.find(login);
    if (account == state->accounts.end() || account->second.password != request.fields[2]) {
        return "2 " + state->wrongPasswordText;
    }
    std::set<std::string>& blocks = state->acceptedBlocks[login];
    answer->block3Seen = blocks.count(request.block3) > 0;
    if (blocks.size() >= kMaxBlocksPerLogin) blocks.erase(blocks.begin());
    blocks.insert(request.block3);

    if (state->sessions.size() >= kMaxSessions) state->sessions.erase(state->sessions.begin());
    const std::string id = std::to_string(state->nextSessionId++);
    Session& session = state->sessions[id];
    session.login = login;
    session.startedAt = now;
    session.pendingLeft = state->pendingPings;
    if (state->pingSeconds >= 0) return "3 " + id + " " + std::to_string(state->pingSeconds);
    return "1 " + id;
}

std::string AnswerPing(ServerState* state, const Request& request, double now) {
    Session* session = FindSession(state, request);
    if (!session) return "0" + state->unknownSessionText;
    if (session->active && state->endSessionAfter >= 0 &&
        now - session->startedAt >= state->endSessionAfter && !session->endPending) {
        session->endPending = true;
        session->endText = state->endText;
    }
    if (session->endPending) {
        session->endPending = false;
        session->active = false;
    }
    if (!session->active) return "0" + session->endText;
    if (session->pendingLeft > 0) {
        --session->pendingLeft;
        return "2";
    }
    const Figures figures = FiguresFor(*state, session->login);
    std::string reply = "1 " + figures.balance + " " + figures.cost + " " + figures.digit;
    if (!figures.message.empty()) reply += " " + figures.message;
    return reply;
}

std::string AnswerGetInfo(ServerState* state, const Request& request) {
    Session* session = FindSession(state, request);
    if (!session) return "0 " + state->unknownSessionText;
    if (!session->active) return "0 " + session->endText;
    const Figures figures = FiguresFor(*state, session->login);
    if (!figures.info.empty()) return "1 " + figures.info;
    return "1 " + Cp1251("Баланс: ") + figures.balance + "\n" + Cp1251("За сессию: ") +
           figures.cost;
}

std::string AnswerLogout(ServerState* state, const Request& request) {
    if (!FindSession(state, request)) return "0 " + state->unknownSessionText;
    state->sessions.erase(request.fields[2]);
    return "1";
}

}  // namespace

ServerState MakeServerState() {
    ServerState state;
    state.wrongPasswordText = Cp1251("Неверное имя пользователя или пароль");
    state.endText = Cp1251("Сессия завершена сервером");
    state.unknownSessionText = Cp1251("Сессия не найдена");
    state.unknownVerbText = Cp1251("Неизвестный запрос");
    return state;
}

Figures FiguresFor(const ServerState& state, const std::string& login) {
    Figures figures = state.figures;
    auto account = state.accounts.find(login);
    if (account == state.accounts.end()) return figures;
    const AccountFigures& own = account->second.figures;
    if (own.balance) figures.balance = *own.balance;
    if (own.cost) figures.cost = *own.cost;
    if (own.digit) figures.digit = *own.digit;
    if (own.message) figures.message = *own.message;
    if (own.info) figures.info = *own.info;
    return figures;
}

Answer AnswerRequest(ServerState* state, const Request& request, double now) {
    Answer answer;
    const std::string& verb = request.fields[0];
    auto fixed = state->fixedReplies.find(verb);
    if (fixed != state->fixedReplies.end()) {
        answer.reply = fixed->second;
        answer.fixed = true;
    } else if (verb == "LOGON") {
        answer.reply = AnswerLogon(state, request, now, &answer);
    } else if (verb == "PING") {
        answer.reply = AnswerPing(state, request, now);
    } else if (verb == "GETINFO") {
        answer.reply = AnswerGetInfo(state, request);
    } else if (verb == "LOGOUT") {
        answer.reply = AnswerLogout(state, request);
    } else {
        answer.reply = "0 " + state->unknownVerbText;
    }
    return answer;
}

bool EndSessionsOf(ServerState* state, const std::string& login, const std::string& text) {
    bool any = false;
    for (auto& entry : state->sessions) {
        Session& session = entry.second;
        if (session.login != login || !session.active) continue;
        session.endPending = true;
        session.endText = text;
        any = true;
    }
    return any;
}

bool SetFigure(ServerState* state, const std::string& login, const std::string& field,
               const std::string& value, std::string* error) {
    const FigureName* figure = nullptr;
    for (const FigureName& candidate : kFigureNames) {
        if (field == candidate.name || (candidate.alias && field == candidate.alias)) {
            figure = &candidate;
        }
    }
    Account* account = nullptr;
    if (login != "*") {
        auto found = state->accounts.find(login);
        if (found == state->accounts.end()) {
            *error = "no account " + Cp1251ToUtf8(login);
            return false;
        }
        account = &found->second;
    }
    if (field == "password" && account) {
        account->password = value;
        return true;
    }
    if (!figure) {
        *error = "unknown figure \"" + field + "\" (balance cost digit message info" +
                 (account ? " password)" : ")");
        return false;
    }
    if (figure->shared == &Figures::digit && value != "0" && value != "1" && value != "2") {
        *error = "the status digit is 0, 1 or 2";
        return false;
    }
    if ((figure->shared == &Figures::balance || figure->shared == &Figures::cost) &&
        (value.empty() || value.find(' ') != std::string::npos)) {
        *error = field + " must be one non-empty word (the agent cuts the reply at spaces)";
        return false;
    }
    if (account) {
        account->figures.*(figure->own) = value;
    } else {
        state->figures.*(figure->shared) = value;
    }
    return true;
}
