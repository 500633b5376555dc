#include "platform/posix/remote_commands.h"

#include <cstdio>
#include <cstring>

#include "app/events.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "platform/posix/posix_internal.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "settings/store.h"
#include "ui/texts.h"

namespace {

const int kMaxFields = 6;

void Answer(RemoteAnswer* answer, int code, const char* text) {
    answer->code = code;
    answer->wait = kRemoteAnswered;
    CopyBounded(answer->text, sizeof answer->text, text ? text : "");
}

const char* StateName() {
    PlatIcon icon = gAgent.trayIcon;
    if (icon == nullptr || icon == gAgent.iconDisconnected) return "disconnected";
    if (icon == gAgent.iconProgress) return "progress";
    if (icon == gAgent.iconConnected) return "connected";
    if (icon == gAgent.iconLimit) return "limit";
    if (icon == gAgent.iconBlocked) return "blocked";
    return "error";
}

void StatsText(char* buffer, size_t size) {
    PlatGetItemText(gAgent.statsWindow, IDC_STATS_TEXT, buffer, size);
}

// The value after `label` in the tooltip, up to the line's end.
void TipField(const char* label, char* value, size_t size) {
    value[0] = '\0';
    const char* at = strstr(gAgent.trayTip, label);
    if (!at) return;
    at += strlen(label);
    size_t length = strcspn(at, "\n");
    if (length >= size) length = size - 1;
    memcpy(value, at, length);
    value[length] = '\0';
}

// Appends `text` as a JSON string; bytes from 0x80 stay (the socket converts them to UTF-8).
void AppendJsonString(char* out, size_t size, const char* text) {
    size_t used = strlen(out);
    auto put = [&](const char* piece) {
        size_t length = strlen(piece);
        if (used + length + 1 >= size) return;
        memcpy(out + used, piece, length + 1);
        used += length;
    };
    put("\"");
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        char piece[8];
        if (*p == '"' || *p == '\\') {
            snprintf(piece, sizeof piece, "\\%c", *p);
        } else if (*p == '\n') {
            snprintf(piece, sizeof piece, "\\n");
        } else if (*p < 0x20) {
            snprintf(piece, sizeof piece, "\\u%04x", *p);
        } else {
            piece[0] = static_cast<char>(*p);
            piece[1] = '\0';
        }
        put(piece);
    }
    put("\"");
}

void Status(bool json, RemoteAnswer* answer) {
    char stats[1024];
    StatsText(stats, sizeof stats);
    char balance[32], cost[32];
    TipField("Баланс: ", balance, sizeof balance);
    TipField("За сессию: ", cost, sizeof cost);
    char* out = answer->text;
    size_t size = sizeof answer->text;
    if (!json) {
        snprintf(out, size, "state: %s\n%s\n", StateName(), gAgent.trayTip);
        if (stats[0] != '\0') {
            strncat(out, "\n", size - strlen(out) - 1);
            strncat(out, stats, size - strlen(out) - 1);
        }
    } else {
        snprintf(out, size, "{\"state\": \"%s\", \"session\": %s, \"tooltip\": ", StateName(),
                 gAgent.sessionActive ? "true" : "false");
        AppendJsonString(out, size, gAgent.trayTip);
        strncat(out, ", \"balance\": ", size - strlen(out) - 1);
        AppendJsonString(out, size, balance);
        strncat(out, ", \"session_cost\": ", size - strlen(out) - 1);
        AppendJsonString(out, size, cost);
        strncat(out, ", \"statistics\": ", size - strlen(out) - 1);
        AppendJsonString(out, size, stats);
        strncat(out, ", \"login\": ", size - strlen(out) - 1);
        char login[kLoginSize];
        PlatGetItemText(gAgent.mainWindow, IDC_LOGIN, login, sizeof login);
        AppendJsonString(out, size, login);
        snprintf(out + strlen(out), size - strlen(out), ", \"autostart\": %s}",
                 gAgent.runAtLogon ? "true" : "false");
    }
    answer->code = kExitOk;
    answer->wait = kRemoteAnswered;
}

bool Busy() { return gAgent.connState != kIdle; }

void Wait(RemoteAnswer* answer, RemoteRequest request) {
    answer->remember = false;
    answer->code = kExitOk;
    answer->wait = kRemoteWaitIdle;
    answer->request = request;
    answer->text[0] = '\0';
}

void Login(char** fields, int count, RemoteAnswer* answer) {
    if (count != 4) return Answer(answer, kExitUsage, "login: bad request");
    const char* login = fields[1];
    const char* password = fields[2];
    if (strlen(login) >= kLoginSize || strlen(password) >= kPasswordSize)
        return Answer(answer, kExitUsage, "login: the login or the password is too long");
    if (gAgent.sessionActive) return Answer(answer, kExitFailed, "Уже подключен");
    if (Busy()) return Answer(answer, kExitFailed, "Идет обмен с сервером, повторите позже");
    // As the user would: type into the logon window, set the box and press Connect.
    if (login[0] != '\0') PlatSetItemText(gAgent.mainWindow, IDC_LOGIN, login);
    char shown[kLoginSize];
    PlatGetItemText(gAgent.mainWindow, IDC_LOGIN, shown, sizeof shown);
    if (shown[0] == '\0') return Answer(answer, kExitUsage, "login: no login given");
    PlatSetItemText(gAgent.mainWindow, IDC_PASSWORD, password);
    OnPasswordTyped();
    bool remember = strcmp(fields[3], "1") == 0;
    PlatSetItemChecked(gAgent.mainWindow, IDC_REMEMBER, remember);
    OnCommand(IDC_CONNECT);
    if (!Busy()) return Answer(answer, kExitFailed, gAgent.trayTip);
    Wait(answer, kRemoteLogon);
    answer->remember = remember;
}

void Logout(RemoteAnswer* answer) {
    if (!gAgent.sessionActive) {
        OnCommand(IDM_DISCONNECT);  // still ends a pending automatic reconnect
        return Answer(answer, kExitOk, "Отключен");
    }
    if (Busy()) return Answer(answer, kExitFailed, "Идет обмен с сервером, повторите позже");
    OnCommand(IDM_DISCONNECT);
    Wait(answer, kRemoteLogout);
}

void Info(RemoteAnswer* answer) {
    if (!gAgent.sessionActive) {
        char stats[1024];
        StatsText(stats, sizeof stats);
        return Answer(answer, kExitFailed, stats[0] != '\0' ? stats : "Отключен");
    }
    if (Busy()) return Answer(answer, kExitFailed, "Идет обмен с сервером, повторите позже");
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
    if (gAgent.runAtLogon != on) OnCommand(IDM_AUTORUN);
    Answer(answer, kExitOk, gAgent.runAtLogon ? "autostart: on" : "autostart: off");
}

}  // namespace

void RemoteHandle(char* line, bool testHooks, RemoteAnswer* answer) {
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
    } else if (testHooks && strcmp(command, "sleep") == 0 && count == 2) {
        int seconds = 0;
        if (sscanf(fields[1], "%d", &seconds) != 1 || seconds <= 0 || seconds > 86400)
            return Answer(answer, kExitUsage, "sleep: seconds");
        PosixWorldSimulateSleep(seconds);
        Answer(answer, kExitOk, "");
    } else {
        Answer(answer, kExitUsage, "unknown command");
    }
}

bool RemoteCheck(RemoteAnswer* answer) {
    if (answer->wait == kRemoteWaitExit) {
        // Exit waits for the request in flight; one that ended in an error leaves the agent
        // running (the user would choose Exit again): so does the client, once.
        if (!Busy() && !PosixQuitPosted()) OnCommand(IDM_EXIT);
        return false;
    }
    if (answer->wait != kRemoteWaitIdle) return answer->wait == kRemoteAnswered;
    if (Busy()) return false;
    char stats[1024];
    StatsText(stats, sizeof stats);
    switch (answer->request) {
        case kRemoteLogon:
            if (gAgent.sessionActive) {
                // What the user asked for and did not get is said with the success.
                char text[sizeof gAgent.trayTip + 256];
                snprintf(text, sizeof text, "%s%s%s%s%s", gAgent.trayTip,
                         answer->remember && gAgent.rememberForbidden ? "\n" : "",
                         answer->remember && gAgent.rememberForbidden ? kTextRememberForbidden : "",
                         gAgent.settingsSaveFailed ? "\n" : "",
                         gAgent.settingsSaveFailed ? kTextSettingsNotSaved : "");
                Answer(answer, kExitOk, text);
            } else {
                Answer(answer, kExitFailed, stats[0] != '\0' ? stats : gAgent.trayTip);
            }
            break;
        case kRemoteLogout:
            Answer(answer, gAgent.sessionActive ? kExitFailed : kExitOk, gAgent.trayTip);
            break;
        case kRemoteInfo:
            Answer(answer, gAgent.sessionActive ? kExitOk : kExitFailed, stats);
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
