// The agent's two dialogs: their procedures, their handles and the status icons they show,
// shared by the rest of the Win32 front end and by the tests.
#pragma once

#include <windows.h>

#include "core/account_view.h"

// Logon window (dialog 104), also the main window that receives timers, tray and socket events.
INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Installed on the password edit by the logon window; sees every character typed into it.
LRESULT CALLBACK PasswordFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam);
// Statistics window (dialog 200).
INT_PTR CALLBACK StatsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The logon window once created (null before and after): the console's handler posts to it.
HWND MainWindowHandle();
// The statistics window once created (null before and after).
HWND StatsWindowHandle();
// The picture of `icon`, loaded from the executable with the logon window; null for kIconNone
// or before the window was created.
HICON StatusIconHandle(TrayIcon icon);
// Offers `message` to the two dialogs (statistics first) and dispatches it if neither took it:
// one round of PlatRunLoop.
void DispatchLoopMessage(MSG* message);
