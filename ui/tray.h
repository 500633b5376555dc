// What the user sees, kept in gAgent.view: the tray icon and its tooltip, the statistics text
// and the account's figures. The front end is asked to show each change.
#pragma once

#include "core/account_view.h"

// The one way the tray icon and tooltip change; kIconNone or a null text leaves that part.
bool TrayStatus(TrayIcon icon, const char* text);
// Puts text into the statistics window without showing it.
void ShowStatsText(const char* text);
// The account figures of a PING answered '1': the status shown for `limitState` (none when
// !statusGiven), the balance and the session cost as the server sent them, and the server's
// message, if any, in the statistics window.
void ShowAccountStatistics(bool statusGiven, int limitState, const char* balance, const char* cost,
                           const char* message);
// Adds the icon again with what it shows now, until the shell takes it (timer tick).
void RetryTrayIcon();
// Shows the logon form as the view holds it.
void ShowLogonForm();
