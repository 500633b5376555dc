#include "app/remote.h"

#include <cstdio>
#include <cstring>

#include "app/json_writer.h"
#include "core/agent_state.h"
#include "core/cp1251.h"
#include "core/text.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "ui/texts.h"

namespace {

const int kMaxFields = 6;

void Answer(RemoteAnswer* answer, int code, const char* text) {
    answer->code = code;
    answer->wait = kRemoteAnswered;
    CopyBounded(answer->text, sizeof answer->text, text ? text : "");
}

// The state's name in `status`, by the picture the tray would show.
const char* StateName() {
    switch (gAgent.view.icon) {
        case kIconNone:
        case kIconDisconnected: return "disconnected";
        case kIconProgress: return "progress";
        case kIconConnected: return "connected";
        case kIconLimit: return "limit";
        case kIconBlocked: return "blocked";
        case kIconError: return "error";
    }
    return "error";
}

void Status(bool json, RemoteAnswer* answer) {
    const AccountView& view = gAgent.view;
    char* out = answer->text;
    size_t size = sizeof answer->text;
    answer->code = kExitOk;
    answer->wait = kRemoteAnswered;
    bool failed = view.cause != kCauseNone;
    if (!json) {
        // The statistics text carries the cause and the hint under a network error; a refusal
        // carries the server's words.
        snprintf(out, size, "state: %s\n%s%s%s%s\n%s%s", StateName(), failed ? "cause: " : "",
                 failed ? kCauseCodes[view.cause] : "", failed ? "\n" : "", view.tooltip,
                 view.statistics[0] != '\0' ? "\n" : "", view.statistics);
        return;
    }
    JsonWriter writer;
    JsonBegin(&writer, out, size);
    JsonString(&writer, "state", StateName());
    JsonBool(&writer, "session", view.sessionOpen);
    JsonString(&writer, "tooltip", view.tooltip);
    JsonString(&writer, "balance", view.balance);
    JsonString(&writer, "session_cost", view.sessionCost);
    JsonString(&writer, "statistics", view.statistics);
    JsonStringOrNull(&writer, "cause", failed ? kCauseCodes[view.cause] : nullptr);
    JsonStringOrNull(&writer, "cause_text", failed ? view.causeText : nullptr);
    JsonString(&writer, "login", view.form.login);
    JsonBool(&writer, "autostart", view.startAtLogon);
    JsonEnd(&writer);
}

bool Busy() { return gAgent.connState != kIdle; }

void Wait(RemoteAnswer* answer, RemoteRequest request) {
    answer->remember = false;
    answer->code = kExitOk;
    answer->wait = kRemoteWaitIdle;
    answer->request = request;
    answer->text[0] = '\0';
}

const char kBusy[] = "Идет обмен с сервером, повторите позже";

void Login(char** fields, int count, RemoteAnswer* answer) {
    if (count != 4) return Answer(answer, kExitUsage, "login: bad request");
    const char* login = fields[1];
    const char* password = fields[2];
    if (strlen(login) >= kLoginSize || strlen(password) >= kPasswordSize)
        return Answer(answer, kExitUsage, "login: the login or the password is too long");
    if (gAgent.sessionActive) return Answer(answer, kExitFailed, "Уже подключен");
    if (Busy()) return Answer(answer, kExitFailed, kBusy);
    // An empty login keeps the one given before, as the logon window's field would.
    if (login[0] == '\0') login = gAgent.view.form.login;
    if (login[0] == '\0') return Answer(answer, kExitUsage, "login: no login given");
    bool remember = strcmp(fields[3], "1") == 0;
    char kept[kLoginSize];
    CopyBounded(kept, sizeof kept, login);
    CommandLogOn(kept, password, remember);
    if (!Busy()) return Answer(answer, kExitFailed, gAgent.view.tooltip);
    Wait(answer, kRemoteLogon);
    answer->remember = remember;
}

void Logout(RemoteAnswer* answer) {
    if (!gAgent.sessionActive) {
        OnCommand(IDM_DISCONNECT);  // still ends a pending automatic reconnect
        return Answer(answer, kExitOk, kTextDisconnected);
    }
    if (Busy()) return Answer(answer, kExitFailed, kBusy);
    OnCommand(IDM_DISCONNECT);
    Wait(answer, kRemoteLogout);
}

void Info(RemoteAnswer* answer) {
    const char* stats = gAgent.view.statistics;
    if (!gAgent.sessionActive)
        return Answer(answer, kExitFailed, stats[0] != '\0' ? stats : kTextDisconnected);
    if (Busy()) return Answer(answer, kExitFailed, kBusy);
    OnCommand(IDM_INFO);
    Wait(answer, kRemoteInfo);
}

void Autostart(char** fields, int count, RemoteAnswer* answer) {
    bool on = count == 2 && strcmp(fields[1], "on") == 0;
    if (count != 2 || (!on && strcmp(fields[1], "off") != 0))
        return Answer(answer, kExitUsage, "autostart: give on or off");
    // Started with --domain the menu item is greyed: the start at logon stays off.
    if (gAgent.autorunLocked)
        return Answer(answer, kExitFailed, "autostart: locked off (the agent runs with --domain)");
    CommandSetStartAtLogon(on);
    Answer(answer, kExitOk, gAgent.runAtLogon ? "autostart: on" : "autostart: off");
}

// The logon's outcome; what the user asked for and did not get is said with a success.
void LogonOutcome(RemoteAnswer* answer) {
    const char* stats = gAgent.view.statistics;
    if (!gAgent.sessionActive)
        return Answer(answer, kExitFailed, stats[0] != '\0' ? stats : gAgent.view.tooltip);
    bool forbidden = answer->remember && gAgent.rememberForbidden;
    char text[kTipSize + 256];
    snprintf(text, sizeof text, "%s%s%s%s%s", gAgent.view.tooltip, forbidden ? "\n" : "",
             forbidden ? kTextRememberForbidden : "", gAgent.settingsSaveFailed ? "\n" : "",
             gAgent.settingsSaveFailed ? kTextSettingsNotSaved : "");
    Answer(answer, kExitOk, text);
}

}  // namespace

void RemoteHandle(char* line, RemoteAnswer* answer) {
    answer->request = kRemoteNone;
    char* fields[kMaxFields];
    int count = 0;
    for (char* p = line; count < kMaxFields;) {
        fields[count++] = p;
        p = strchr(p, '\t');
        if (!p) break;
        *p++ = '\0';
        if (count == kMaxFields) return Answer(answer, kExitUsage, "too many arguments");
    }
    const char* command = fields[0];
    if (strcmp(command, "status") == 0 && count <= 2) {
        Status(count == 2 && strcmp(fields[1], "json") == 0, answer);
    } else if (strcmp(command, "login") == 0) {
        Login(fields, count, answer);
    } else if (strcmp(command, "logout") == 0 && count == 1) {
        Logout(answer);
    } else if (strcmp(command, "info") == 0 && count == 1) {
        Info(answer);
    } else if (strcmp(command, "quit") == 0 && count == 1) {
        OnCommand(IDM_EXIT);
        answer->code = kExitOk;
        answer->wait = kRemoteWaitExit;
    } else if (strcmp(command, "autostart") == 0) {
        Autostart(fields, count, answer);
    } else {
        Answer(answer, kExitUsage, "unknown command");
    }
}

bool RemoteCheck(RemoteAnswer* answer, bool quitPosted) {
    if (answer->wait == kRemoteWaitExit) {
        // Exit waits for the request in flight; one that ended in an error leaves the agent
        // running (the user would choose Exit again): so does the client, once.
        if (!Busy() && !quitPosted) OnCommand(IDM_EXIT);
        return false;
    }
    if (answer->wait != kRemoteWaitIdle) return answer->wait == kRemoteAnswered;
    if (Busy()) return false;
    switch (answer->request) {
        case kRemoteLogon: LogonOutcome(answer); break;
        case kRemoteLogout:
            Answer(answer, gAgent.sessionActive ? kExitFailed : kExitOk, gAgent.view.tooltip);
            break;
        case kRemoteInfo:
            Answer(answer, gAgent.sessionActive ? kExitOk : kExitFailed, gAgent.view.statistics);
            break;
        default: Answer(answer, kExitFailed, ""); break;
    }
    return true;
}

void RemoteExitAnswer(int exitCode, RemoteAnswer* answer) {
    char text[64];
    snprintf(text, sizeof text, "the agent has exited (%d)", exitCode);
    Answer(answer, kExitOk, text);
}

void ControlOpen(ControlClient* client, uint32_t now) {
    client->length = 0;
    client->waiting = false;
    client->deadline = now + kRequestDeadlineMs;
    client->answer.wait = kRemoteAnswered;
}

size_t ControlRoom(ControlClient* client, char** at) {
    *at = client->request + client->length;
    return client->waiting ? 0 : kMaxRequest - client->length;
}

bool ControlReceived(ControlClient* client, size_t count) {
    client->length += count;
    void* end = memchr(client->request, '\n', client->length);
    if (end == nullptr) {
        if (client->length < kMaxRequest) return false;
        Answer(&client->answer, kExitUsage, "request too long");
        return true;
    }
    *static_cast<char*>(end) = '\0';
    std::string line, error;
    if (!Utf8ToCp1251(client->request, &line, &error) || line.size() > kMaxRequest) {
        Answer(&client->answer, kExitUsage,
               "the request is not valid UTF-8 or has characters the agent cannot use");
        return true;
    }
    char request[kMaxRequest + 1];
    memcpy(request, line.c_str(), line.size() + 1);
    RemoteHandle(request, &client->answer);
    client->waiting = client->answer.wait != kRemoteAnswered;
    return !client->waiting;
}

bool ControlCheck(ControlClient* client, uint32_t now, bool quitPosted) {
    if (client->waiting)
        return RemoteCheck(&client->answer, quitPosted) && client->answer.wait == kRemoteAnswered;
    if (static_cast<int32_t>(now - client->deadline) < 0) return false;
    Answer(&client->answer, kExitUsage, "no request in time");
    return true;
}

void ControlExit(ControlClient* client, int exitCode) {
    if (!client->waiting || !RemoteCheck(&client->answer, true) ||
        client->answer.wait != kRemoteAnswered)
        RemoteExitAnswer(exitCode, &client->answer);
}

std::string ControlReply(const ControlClient& client) {
    return std::to_string(client.answer.code) + "\n" + Cp1251ToUtf8(client.answer.text) + "\n";
}
