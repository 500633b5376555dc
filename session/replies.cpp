#include "session/replies.h"

#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"

namespace {

// The LOGON rule: cuts `text` at its first space and skips the run of spaces after it. Returns
// what follows (the end of the text when there is no space).
char* CutAtSpaceRun(char* text) {
    char* space = strchr(text, ' ');
    if (space == nullptr) return text + strlen(text);
    *space++ = '\0';
    while (*space == ' ')
        space++;
    return space;
}

// The PING statistics rule: cuts `text` at exactly one space, so that two spaces give an empty
// field. Returns what follows.
char* CutAtOneSpace(char* text) {
    while (*text != '\0' && *text != ' ')
        text++;
    if (*text == ' ') *text++ = '\0';
    return text;
}

// Status digits '0', '1', '2' in this order, each optional; the last one given counts.
char* TakeStatusDigits(char* position, PingReply* out) {
    const int states[] = {kLimitNormal, kLimitNear, kLimitBlocked};
    for (char digit = '0'; digit <= '2'; digit++) {
        if (*position != digit) continue;
        out->limitState = states[digit - '0'];
        out->statusGiven = true;
        *position++ = '\0';
    }
    return position;
}

}  // namespace

LogonReply ParseLogonReply(char* reply) {
    LogonReply out = {reply[0], "", 0, ""};
    char* rest = CutAtSpaceRun(reply);
    if (out.code != '1' && out.code != '3') {
        out.reason = rest;
        return out;
    }
    char* next = CutAtSpaceRun(rest);
    out.session = rest;
    if (out.code == '3') {
        CutAtSpaceRun(next);
        out.seconds = atoi(next);
    }
    return out;
}

PingReply ParsePingReply(char* reply) {
    PingReply out = {reply[0], "", "", "", kLimitNormal, false, ""};
    if (out.code == '\0') return out;
    out.text = reply + 1;
    if (out.code != '1') return out;
    char* position = CutAtOneSpace(reply);  // the code
    out.balance = position;
    position = CutAtOneSpace(position);
    out.cost = position;
    position = TakeStatusDigits(CutAtOneSpace(position), &out);
    while (*position == ' ')
        *position++ = '\0';
    out.message = position;
    return out;
}

const char* ParseInfoReply(const char* reply, int length) { return length >= 2 ? reply + 2 : ""; }
