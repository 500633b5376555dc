#include "recording_handlers.h"

#include <cstdio>

#include "platform/events.h"

std::vector<std::string> gHandlerCalls;

static void Record(const char* format, long a = 0, long b = 0, long c = 0) {
    char line[96];
    snprintf(line, sizeof line, format, a, b, c);
    gHandlerCalls.push_back(line);
}

void OnCommand(int id) { Record("OnCommand %ld", id); }
void OnWindowClose(PlatWindowId which) {
    gHandlerCalls.push_back(which == kWindowLogon ? "OnWindowClose logon" : "OnWindowClose stats");
}
void OnTimer(int id) { Record("OnTimer %ld", id); }
void OnTrayEvent(TrayMouse event) {
    static const char* const kNames[] = {"move", "button", "other"};
    gHandlerCalls.push_back(std::string("OnTrayEvent ") + kNames[event]);
}
void OnSocketEvent(PlatSocket socket, PlatSocketEvent event, PlatNetError error) {
    static const char* const kNames[] = {"connected", "writable", "readable", "closed"};
    static const char* const kErrors[] = {
        "ok", "unreachable", "host-unreachable", "refused", "reset", "timed-out", "other"};
    const int number = static_cast<int>(event);
    const int code = static_cast<int>(error);
    const char* errorName = code >= 0 && code <= kNetOther ? kErrors[code] : "?";
    char line[96];
    snprintf(line, sizeof line, "OnSocketEvent %ld %s %s", static_cast<long>(socket),
             number >= 0 && number < 4 ? kNames[number] : "unknown", errorName);
    gHandlerCalls.push_back(line);
}
void OnWorldChange(const char* what) {
    gHandlerCalls.push_back(std::string("OnWorldChange ") + what);
}
void OnTaskbarCreated() { Record("OnTaskbarCreated"); }
void LogoutAtSessionEnd() { Record("LogoutAtSessionEnd"); }
void OnEndSession(bool ending, bool closeApp) { Record("OnEndSession %ld %ld", ending, closeApp); }
void OnPasswordTyped() { Record("OnPasswordTyped"); }
void OnStatsCommand(int id) { Record("OnStatsCommand %ld", id); }
