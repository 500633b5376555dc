// The other direction of the seam: what a front end calls in the core. A front end decodes what
// its system delivers and calls exactly one of these per event; all run on the loop's thread.
#pragma once

#include "platform/platform.h"

// ---- Events ----

// Tray-icon mouse events, as the front end classifies them.
enum TrayMouse {
    kTrayMouseMove,    // the pointer rests on the icon
    kTrayMouseButton,  // a left or right button pressed or double-clicked
    kTrayMouseOther,
};

// What happened on a socket. kSocketConnected carries the connect's outcome; kSocketClosed
// carries kNetOk for an orderly close and the error for a reset or an abort; the others carry
// kNetOk, or an error that ended the connection. kSocketOther is anything else the system
// reported, which no request expects.
enum PlatSocketEvent {
    kSocketConnected,
    kSocketWritable,
    kSocketReadable,
    kSocketClosed,
    kSocketOther
};
// A socket error as every front end classifies its system's codes, so that the core can tell
// the user why a request failed.
enum PlatNetError {
    kNetOk = 0,
    kNetUnreachable,      // the network is unreachable or down
    kNetHostUnreachable,  // no route to the host
    kNetRefused,          // nothing listens on the port
    kNetReset,            // reset or aborted by the peer or on the way
    kNetTimedOut,         // the system gave up waiting
    kNetOther,
};
void OnSocketEvent(PlatSocket socket, PlatSocketEvent event, PlatNetError error);

void OnTimer(int id);
void OnTrayEvent(TrayMouse event);
// Resume from sleep, a change of the address list or of the clock: `what` is written after
// "Событие: " and the session is re-checked at once.
void OnWorldChange(const char* what);
void OnTaskbarCreated();                        // the shell restarted: the icon is gone
void LogoutAtSessionEnd();                      // the system asks whether the session may end
void OnEndSession(bool ending, bool closeApp);  // ... and says whether it ends
void OnPasswordTyped();                         // a character typed into the password field
// The system asks the agent to stop (SIGTERM, a service stop): Exit, and the agent quits once
// the logoff is answered or has failed, or the request in flight has ended.
void OnStopRequest();

// ---- Commands: what the user asked for ----

// A button or menu item by its id (res/resource_ids.h), or a command the core posted itself.
void OnCommand(int id);
// A command of the statistics window.
void OnStatsCommand(int id);
// The close box of a window: it only hides.
void OnWindowClose(PlatWindowId which);
// Log on with this login and password, for a front end without a logon window (one with a
// window sends Connect as OnCommand, and the core reads the window's fields); a null password
// logs on with the remembered block. `remember` is the remember box.
void CommandLogOn(const char* login, const char* password, bool remember);
// The unattended agent's logon at its start (the router's, configured with the password): as
// CommandLogOn with the box ticked, and kept up as after a start with a remembered password, so
// that a first failure for network reasons is tried again.
void CommandLogOnUnattended(const char* login, const char* password);
// Start at logon on or off (the menu item toggles it).
void CommandSetStartAtLogon(bool on);

// Process entry, after the front end has split the command line (argument 0 is the program).
int AgentMain(int argc, char** argv);
