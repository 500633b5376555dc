// Commands of the logon window, the tray menu and the statistics window, and the timer ticks.
#include <cstddef>

#include "core/agent_state.h"
#include "core/timings.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/control.h"
#include "session/engine.h"
#include "session/world.h"
#include "settings/store.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

// What the end of a request leads to: the reply handled, the world check judging it, and an Exit
// or a stop request that waited for it going ahead.
void RequestEnded(RequestEnd end) {
    if (end == kRequestGoesOn) return;
    if (end == kRequestReplied) {
        HandleReply();
        gAgent.connState = kIdle;
    }
    WorldRequestEnded(end != kRequestReplied);
    // An Exit during a session quits once the server has closed the request it waited for.
    if (gAgent.quitAfterLogout && end != kRequestFailed) PlatPostQuit(0);
    if (gAgent.exitWhenIdle && gAgent.connState == kIdle) PlatPostQuit(0);
}

void RequestTimeout() { RequestEnded(EngineRequestTimeout()); }

void HideLogonWindow() {
    gAgent.mainWindowVisible = false;
    PlatShowWindow(kWindowLogon, false);
}

void ShowLogonWindow() {
    gAgent.mainWindowVisible = true;
    gAgent.autoReconnect = false;
    PlatShowWindow(kWindowLogon, true);
}

void ToggleRunAtLogon() {
    gAgent.runAtLogon = !gAgent.runAtLogon;
    gAgent.view.startAtLogon = gAgent.runAtLogon;
    SaveSettings();
}

void Exit() {
    if (!gAgent.sessionActive) {
        PlatPostQuit(0);
        return;
    }
    gAgent.quitAfterLogout = true;
    StartLogout();
}

}  // namespace

void OnStopRequest() {
    // Exit logs off first; unlike a user's Exit, a logoff that fails still ends the agent.
    gAgent.exitWhenIdle = true;
    Exit();
}

namespace {

void ShowAbout() { PlatMessageBox(false, kTextAbout, kCaptionAbout, kBoxInformation); }

struct Command {
    int id;
    void (*run)();
};

const Command kCommands[] = {
    {IDC_CONNECT, StartLogon},
    {IDC_HIDE, HideLogonWindow},
    {IDM_CONNECT, ShowLogonWindow},
    {IDM_DISCONNECT, StartLogout},
    {IDM_INFO, RequestStatistics},
    {IDM_AUTORUN, ToggleRunAtLogon},
    {IDM_EXIT, Exit},
    {IDM_ABOUT, ShowAbout},
};

struct TimerTick {
    int id;
    void (*run)();
};

const TimerTick kTimerTicks[] = {
    {kTimerRequest, RequestTimeout},     {kTimerPing, SendPing},
    {kTimerHover, EndHoverGuard},        {kTimerReconnect, ReconnectTick},
    {kTimerTrayRetry, RetryTrayIcon},    {kTimerWorld, OnWorldTimer},
    {kTimerWorldHeld, OnWorldHeldTimer},
};

void ShowTrayMenu() {
    if (!PlatMenuLoad()) return;
    if (gAgent.autorunLocked) {
        gAgent.runAtLogon = false;
        gAgent.view.startAtLogon = false;
        PlatMenuGray(IDM_AUTORUN, true);
    }
    PlatMenuCheck(IDM_AUTORUN, gAgent.runAtLogon);
    if (gAgent.connState != kIdle || gAgent.sessionActive) PlatMenuGray(IDM_CONNECT, true);
    PlatMenuShow();
}

void HideStatsWindow() {
    gAgent.statsWindowVisible = false;
    PlatShowWindow(kWindowStats, false);
}

}  // namespace

void OnCommand(int id) {
    for (const Command& command : kCommands) {
        if (command.id == id) {
            command.run();
            return;
        }
    }
}

void OnTimer(int id) {
    for (const TimerTick& timer : kTimerTicks) {
        if (timer.id == id) {
            timer.run();
            return;
        }
    }
}

void OnWindowClose(PlatWindowId which) {
    if (which == kWindowLogon) {
        HideLogonWindow();
    } else {
        HideStatsWindow();
    }
}

void OnTrayEvent(TrayMouse event) {
    if (event == kTrayMouseMove) OnHover();
    if (event == kTrayMouseButton) ShowTrayMenu();
}

void OnSocketEvent(PlatSocket socket, PlatSocketEvent event, PlatNetError error) {
    RequestEnded(EngineSocketEvent(socket, event, error));
}

void OnStatsCommand(int id) {
    if (id == IDC_STATS_OK) HideStatsWindow();
}

void CommandSetStartAtLogon(bool on) {
    if (gAgent.runAtLogon != on) ToggleRunAtLogon();
}
