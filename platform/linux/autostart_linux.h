// The start at logon of the Linux desktop agent, for its tests.
#pragma once

#include <string>

// Start at logon: the systemd user unit when a user manager runs, otherwise an XDG autostart
// entry. Setting the state it already has does nothing.
bool PosixAutostartEnabled();
bool PosixAutostartSet(bool on);
// True when the unit is enabled, or the XDG entry runs this very program.
bool PosixAutostartIsOurs();
// The command the autostart entry runs.
std::string PosixAutostartCommand();
// The XDG autostart entry's path.
std::string PosixAutostartEntryPath();
