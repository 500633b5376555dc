#include "tools/access_server/control.h"

#include "core/cp1251.h"
#include "core/ipv4.h"

namespace {

// The line cut at single spaces into the command, `words` more words and the rest.
struct CommandLine {
    std::string command;
    std::string words[2];
    std::string rest;
};

CommandLine Cut(const std::string& line, int words) {
    CommandLine cut;
    size_t position = 0;
    auto next = [&](std::string* out) {
        const size_t space = line.find(' ', position);
        *out = line.substr(position, space == std::string::npos ? space : space - position);
        position = space == std::string::npos ? line.size() : space + 1;
    };
    next(&cut.command);
    for (int i = 0; i < words; ++i)
        next(&cut.words[i]);
    cut.rest = line.substr(position);
    return cut;
}

ControlResult Fail(std::string* detail, const std::string& why) {
    *detail = why;
    return kControlError;
}

ControlResult EndSession(ServerState* state, const std::string& line, std::string* detail) {
    const CommandLine cut = Cut(line, 1);
    std::string login, text;
    if (cut.words[0].empty()) return Fail(detail, "usage: end-session LOGIN [TEXT]");
    if (!DecodeTextArgument(cut.words[0], &login, detail) ||
        !DecodeTextArgument(cut.rest, &text, detail)) {
        return kControlError;
    }
    if (text.empty()) text = state->endText;
    if (!EndSessionsOf(state, login, text))
        return Fail(detail, "no active session of " + cut.words[0]);
    *detail = "the next PING of " + cut.words[0] + " is answered 0";
    return kControlOk;
}

ControlResult Fault(ServerState* state, const std::string& line, std::string* detail) {
    const CommandLine cut = Cut(line, 2);
    FaultPlan plan;
    if (!ParseFault(cut.words[0], &plan.fault, detail)) return kControlError;
    if (!cut.words[1].empty()) {
        long long count = 0;
        if (!cut.rest.empty() || !ParseDecimal(cut.words[1], 1, 1000000, &count)) {
            return Fail(detail, "usage: fault MODE[:VERB] [COUNT], COUNT from 1");
        }
        plan.remaining = static_cast<int>(count);
    }
    state->faults = plan;
    *detail = "fault " + FaultName(plan.fault) +
              (plan.remaining > 0 ? " for " + std::to_string(plan.remaining) + " requests" : "");
    return kControlOk;
}

bool IsRequestVerb(const std::string& verb) {
    return verb == "LOGON" || verb == "PING" || verb == "GETINFO" || verb == "LOGOUT";
}

ControlResult Reply(ServerState* state, const std::string& line, std::string* detail) {
    const CommandLine cut = Cut(line, 1);
    if (!IsRequestVerb(cut.words[0])) return Fail(detail, "usage: reply VERB TEXT");
    std::string text;
    if (!DecodeTextArgument(cut.rest, &text, detail)) return kControlError;
    state->fixedReplies[cut.words[0]] = text;
    *detail = cut.words[0] + " answered with a fixed reply";
    return kControlOk;
}

ControlResult ClearReply(ServerState* state, const std::string& line, std::string* detail) {
    const CommandLine cut = Cut(line, 1);
    if (cut.words[0] == "*" && cut.rest.empty()) {
        state->fixedReplies.clear();
    } else if (IsRequestVerb(cut.words[0]) && cut.rest.empty()) {
        state->fixedReplies.erase(cut.words[0]);
    } else {
        return Fail(detail, "usage: clear-reply VERB|*");
    }
    *detail = "fixed reply cleared";
    return kControlOk;
}

ControlResult Set(ServerState* state, const std::string& line, std::string* detail) {
    const CommandLine cut = Cut(line, 2);
    if (cut.words[0].empty() || cut.words[1].empty()) {
        return Fail(detail, "usage: set LOGIN|* balance|cost|digit|message|info|password VALUE");
    }
    std::string login, value;
    if (!DecodeTextArgument(cut.words[0], &login, detail) ||
        !DecodeTextArgument(cut.rest, &value, detail)) {
        return kControlError;
    }
    if (!SetFigure(state, login, cut.words[1], value, detail)) return kControlError;
    *detail = cut.words[0] + " " + cut.words[1] + " set";
    return kControlOk;
}

ControlResult PendingPings(ServerState* state, const std::string& line, std::string* detail) {
    const CommandLine cut = Cut(line, 1);
    long long count = 0;
    if (!cut.rest.empty() || !ParseDecimal(cut.words[0], 0, 1000000, &count)) {
        return Fail(detail, "usage: pending-pings N");
    }
    state->pendingPings = static_cast<int>(count);
    *detail = "new sessions get " + cut.words[0] + " PING answers 2";
    return kControlOk;
}

typedef ControlResult (*CommandHandler)(ServerState*, const std::string&, std::string*);

const struct {
    const char* name;
    CommandHandler handler;
} kCommands[] = {
    {"end-session", EndSession}, {"fault", Fault}, {"reply", Reply},
    {"clear-reply", ClearReply}, {"set", Set},     {"pending-pings", PendingPings},
};

}  // namespace

ControlResult ApplyControlCommand(ServerState* state, const std::string& rawLine,
                                  std::string* detail) {
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    const CommandLine cut = Cut(line, 0);
    if (cut.command == "quit" && cut.rest.empty()) {
        *detail = "quitting";
        return kControlQuit;
    }
    for (const auto& command : kCommands) {
        if (cut.command == command.name) return command.handler(state, line, detail);
    }
    return Fail(detail, "unknown command \"" + cut.command +
                            "\" (end-session fault reply clear-reply set pending-pings quit)");
}
