// The tray icon, its tooltip and the statistics text.
#pragma once

#include "platform/platform.h"

// The one way the tray icon and tooltip change; either argument may be nullptr.
bool TrayStatus(PlatIcon icon, const char* text);
// Puts text into the statistics window without showing it.
void ShowStatsText(const char* text);
// Turns a PING reply with code '1' into limitState, the account tooltip and a message. The
// reply is cut in place.
void ShowAccountStatistics(char* reply);
// Adds the icon again with what it shows now, until the shell takes it (timer tick).
void RetryTrayIcon();
