// The per-user settings as a record the platform loads and saves, and the start-at-logon entry.
#pragma once

// Restores the remember flag, login and password block, start at logon and the notification
// setting, and fills the logon form.
void LoadSettings();
// Stores what is remembered now (the logon form's box and login) and start at logon, and puts
// the start-at-logon entry in line with it. Returns 0.
int SaveSettings();
