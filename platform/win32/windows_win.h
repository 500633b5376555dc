// The window procedures of the agent's two dialogs, shared by dialog creation and the tests.
#pragma once

#include <windows.h>

// Logon window (dialog 104), also the main window that receives timers, tray and socket events.
INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Installed on the password edit by the logon window; sees every character typed into it.
LRESULT CALLBACK PasswordFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam);
// The logon window once created (null before): the console's handler posts to it.
HWND MainWindowHandle();
// Statistics window (dialog 200).
INT_PTR CALLBACK StatsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
