// The tray icon, its tooltip and the statistics text.
#pragma once

#include "platform/platform.h"
#include "session/replies.h"

// The one way the tray icon and tooltip change; either argument may be nullptr.
bool TrayStatus(PlatIcon icon, const char* text);
// Puts text into the statistics window without showing it.
void ShowStatsText(const char* text);
// Shows a PING reply with code '1': the account tooltip (status, balance, cost) and the
// server's message, if any, in the statistics window.
void ShowAccountStatistics(const PingReply& reply);
// Adds the icon again with what it shows now, until the shell takes it (timer tick).
void RetryTrayIcon();
