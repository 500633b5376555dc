// The single-instance mutex, the program's own path and the debug console.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/windows_win.h"
#include "res/resource_ids.h"

// Held until the process ends: the mutex is what tells a second agent that this one runs.
static HANDLE gInstanceMutex = nullptr;

PlatMutexResult PlatCreateInstanceMutex(const char* name) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    DWORD error = GetLastError();
    if (!mutex) return kMutexFailed;
    gInstanceMutex = mutex;
    return error == ERROR_ALREADY_EXISTS ? kMutexExisted : kMutexCreated;
}

bool PlatWaitInstanceMutexAbandoned(uint32_t timeoutMs) {
    return gInstanceMutex && WaitForSingleObject(gInstanceMutex, timeoutMs) == WAIT_ABANDONED;
}

void PlatProgramPath(char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    DWORD limit = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD length = GetModuleFileNameA(nullptr, buffer, limit);
    // Older systems leave a truncated path without its NUL.
    if (length >= limit) length = limit - 1;
    buffer[length] = '\0';
}

static bool HasUsableStdout() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN;
}

// Closing the console (or Ctrl+C, Ctrl+Break in it) would end the process on the spot: no
// LOGOUT, and the tray icon left behind. They are taken as Exit instead. The handler runs on a
// thread of its own, so it only posts the command to the main window.
static BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    HWND main = MainWindowHandle();
    if (!main || !PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0)) return FALSE;
    // Returning from a close ends the process. Windows waits a few seconds for the handler,
    // longer than the logoff may take (the request timeout); the agent then ends by itself.
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

// Started with its output redirected (a file, a pipe), the agent keeps writing there; otherwise
// it opens a console of its own.
void PlatOpenDebugOutput() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (HasUsableStdout()) return;
    AllocConsole();
    // Without the streams the debug lines are lost, which is all that can go wrong here; the
    // output does not depend on the input.
    (void)freopen("CONIN$", "r", stdin);
    (void)freopen("CONOUT$", "w", stdout);
}

void PlatDebugWrite(const char* ansiText) {
    if (!ansiText) ansiText = "";
    // Single-byte code pages convert byte for byte, so any length goes through in pieces.
    char piece[256];
    size_t left = strlen(ansiText);
    while (left > 0) {
        DWORD n = left < sizeof piece ? static_cast<DWORD>(left) : sizeof piece;
        CharToOemBuffA(ansiText, piece, n);
        fwrite(piece, 1, n, stdout);
        ansiText += n;
        left -= n;
    }
    fputc('\n', stdout);
    fflush(stdout);
}
