// engine_bench: the agent's own request path, timed from inside. The real core, engine and
// Win32 platform, with the agent's windows and tray icon, in the agent's message loop; each
// GETINFO starts as soon as the one before has ended, so nothing outside the agent is timed.
//
//   engine_bench ADDRESS PORT LOGIN PASSWORD COUNT
//
// The server must hold the built-in key's private half. Logs on, waits until the session is
// open (the first PING answered '1'), then sends COUNT GETINFO back to back. Prints
// "engine requests=N mean_ms=.. median_ms=.. p10_ms=.. p90_ms=.. min_ms=.." and exits 0, or a
// reason on standard error and exits 1.
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/agent_main.h"
#include "bench/request_timings.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "platform/events.h"
#include "platform/win32/text_win.h"
#include "platform/win32/windows_win.h"
#include "res/resource_ids.h"
#include "session/control.h"
#include "session/engine.h"

namespace {

int Fail(const char* why) {
    fprintf(stderr, "engine_bench: %s\n", why);
    return 1;
}

// The agent's loop, one message at a time, until `done` holds or `timeoutMs` has passed.
bool PumpUntil(bool (*done)(), DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        DWORD waited = GetTickCount() - start;
        if (waited >= timeoutMs) return false;
        MSG message;
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - waited, QS_ALLINPUT);
            continue;
        }
        DispatchLoopMessage(&message);
    }
    return true;
}

bool SessionOpen() { return gAgent.connState == kIdle && gAgent.linkConfirmed; }

bool RequestEnded() { return gAgent.connState == kIdle; }

bool BringUp(const char* address, const char* port) {
    ResetAgentState();
    int code = 0;
    if (PlatSocketsStartup() != kSocketsReady || !LoadKeyAndBuffers(&code)) return false;
    CopyBounded(gConfig.serverAddress, sizeof gConfig.serverAddress, address);
    CopyBounded(gConfig.serverPort, sizeof gConfig.serverPort, port);
    return PlatCreateWindow(kWindowLogon) && PlatCreateWindow(kWindowStats);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6 || atoi(argv[5]) < 1) {
        fprintf(stderr, "usage: engine_bench ADDRESS PORT LOGIN PASSWORD COUNT\n");
        return 2;
    }
    const int count = atoi(argv[5]);
    if (!BringUp(argv[1], argv[2])) return Fail("cannot bring the agent up");
    // Typed into the logon window, as a user would before Connect.
    SetDlgItemTextW(MainWindowHandle(), IDC_LOGIN, WideFromAgent(argv[3]).c_str());
    SetDlgItemTextW(MainWindowHandle(), IDC_PASSWORD, WideFromAgent(argv[4]).c_str());
    StartLogon();
    // Accepted, then PINGs every 2 s until the server answers '1'.
    if (!PumpUntil(SessionOpen, 15000)) return Fail("the session did not open");

    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start = TimingNow();
        RequestStatistics();
        if (!PumpUntil(RequestEnded, 5000)) return Fail("a GETINFO did not end");
        LARGE_INTEGER end = TimingNow();
        if (!gAgent.sessionActive) return Fail("a GETINFO failed");
        ms.push_back(TimingMs(start, end));
    }
    PrintTimings("engine", ms);
    PlatTrayNotify(kTrayDelete, false, false);
    PlatDestroyWindows();
    return 0;
}
