// The event seam: what the window procedures hand to the core. The Win32 side decodes messages,
// parameters and masks and calls exactly one of these per message; all run on the user-interface
// thread.
#pragma once

#include "platform/platform.h"

// Tray-icon mouse events, as the Win32 side classifies them.
enum TrayMouse {
    kTrayMouseMove,    // WM_MOUSEMOVE
    kTrayMouseButton,  // left or right button down or double-click
    kTrayMouseOther,
};

// Main (logon) window.
void OnCommand(int id);             // WM_COMMAND, the low 16 bits of wParam
void OnMainWindowClose();           // WM_CLOSE
void OnTimer(int id);               // WM_TIMER
void OnTrayEvent(TrayMouse event);  // the tray icon's callback message
void OnSocketEvent(PlatSocket socket, int event, int error);  // a socket notification
// Resume from sleep, a change of the address list or of the clock: `what` is written after
// "Событие: " and the session is re-checked at once.
void OnWorldChange(const char* what);
void OnTaskbarCreated();                        // the shell's "TaskbarCreated" broadcast
void LogoutAtSessionEnd();                      // WM_QUERYENDSESSION, then not handled
void OnEndSession(bool ending, bool closeApp);  // WM_ENDSESSION, ENDSESSION_CLOSEAPP
void OnPasswordTyped();                         // WM_CHAR in the password field
// The system asks the agent to stop (SIGTERM, a service stop): Exit, and the agent quits once
// the logoff is answered or has failed, or the request in flight has ended.
void OnStopRequest();

// Statistics window.
void OnStatsCommand(int id);  // WM_COMMAND
void OnStatsClose();          // WM_CLOSE

// Process entry, after the platform has split the command line (argument 0 is the program).
int AgentMain(int argc, char** argv);
