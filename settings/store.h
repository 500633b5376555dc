// Per-user settings in the registry and the start-at-logon entry.
#pragma once

extern const char kSettingsKey[];   // "Software\\Vorna\\AuthUtility"
extern const char kRunKey[];        // "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
extern const char kRunValueName[];  // "VORNA Auth Utility"

void LoadSettings();
int SaveSettings();
