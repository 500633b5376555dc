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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/agent_state.h"
#include "core/text.h"
#include "res/resource_ids.h"
#include "session/control.h"
#include "session/engine.h"
#include "session/frames.h"
#include "ui/handlers.h"

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
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - waited, QS_ALLINPUT);
            continue;
        }
        if (IsDialogMessageA(static_cast<HWND>(gAgent.statsWindow), &message) ||
            IsDialogMessageA(static_cast<HWND>(gAgent.mainWindow), &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return true;
}

bool SessionOpen() {
    return gAgent.connState == kIdle && gAgent.linkConfirmed;
}

bool RequestEnded() {
    return gAgent.connState == kIdle;
}

bool BringUp(const char* address, const char* port) {
    ResetAgentState();
    int version = 0;
    if (!PlatSocketsStartup(&version) || !LoadServerKey(gConfig.serverKeyPem)) return false;
    CopyBounded(gConfig.serverAddress, sizeof gConfig.serverAddress, address);
    CopyBounded(gConfig.serverPort, sizeof gConfig.serverPort, port);
    size_t ioSize = std::max<size_t>(4 * static_cast<size_t>(gAgent.blockSize), 1024);
    gAgent.ioBuffer = static_cast<uint8_t*>(calloc(ioSize, 1));
    gAgent.savedPasswordBlock = static_cast<uint8_t*>(calloc(gAgent.blockSize, 1));
    gAgent.mainWindow = PlatCreateDialog(kDialogLogon);
    gAgent.statsWindow = PlatCreateDialog(kDialogStats);
    gAgent.iconDisconnected = PlatLoadIcon(IDI_DISCONNECTED);
    gAgent.iconProgress = PlatLoadIcon(IDI_PROGRESS);
    gAgent.iconConnected = PlatLoadIcon(IDI_CONNECTED);
    gAgent.iconError = PlatLoadIcon(IDI_NET_ERROR);
    gAgent.iconBlocked = PlatLoadIcon(IDI_BLOCKED);
    gAgent.iconLimit = PlatLoadIcon(IDI_LIMIT);
    return gAgent.ioBuffer && gAgent.savedPasswordBlock && gAgent.mainWindow && gAgent.statsWindow;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6 || atoi(argv[5]) < 1) {
        fprintf(stderr, "usage: engine_bench ADDRESS PORT LOGIN PASSWORD COUNT\n");
        return 2;
    }
    const int count = atoi(argv[5]);
    if (!BringUp(argv[1], argv[2])) return Fail("cannot bring the agent up");
    PlatSetItemText(gAgent.mainWindow, IDC_LOGIN, argv[3]);
    PlatSetItemText(gAgent.mainWindow, IDC_PASSWORD, argv[4]);
    StartLogon();
    // Accepted, then PINGs every 2 s until the server answers '1'.
    if (!PumpUntil(SessionOpen, 15000)) return Fail("the session did not open");

    LARGE_INTEGER frequency, t0, t1;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        QueryPerformanceCounter(&t0);
        RequestStatistics();
        if (!PumpUntil(RequestEnded, 5000)) return Fail("a GETINFO did not end");
        QueryPerformanceCounter(&t1);
        if (!gAgent.sessionActive) return Fail("a GETINFO failed");
        ms.push_back(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) /
                     static_cast<double>(frequency.QuadPart));
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms)
        sum += v;
    printf("engine requests=%zu mean_ms=%.3f median_ms=%.3f p10_ms=%.3f p90_ms=%.3f min_ms=%.3f\n",
           ms.size(), sum / static_cast<double>(ms.size()), ms[ms.size() / 2], ms[ms.size() / 10],
           ms[ms.size() * 9 / 10], ms.front());
    PlatTrayNotify(kTrayDelete, gAgent.mainWindow, nullptr, nullptr);
    PlatDestroyWindow(gAgent.mainWindow);
    PlatDestroyWindow(gAgent.statsWindow);
    return 0;
}
