// The settings file and the start at logon, shared by the settings store and the tests.
#pragma once

#include <string>

// $XDG_CONFIG_HOME/vornaagent/settings (or ~/.config/...).
std::string PosixSettingsPath();

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
