// The single-instance mutex, the program's own path and the debug console.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/text_win.h"
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

bool ProgramPathWide(std::wstring* path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return false;
        if (length < size) {
            path->assign(buffer.data(), length);
            return true;
        }
        // Cut short: the longest path Windows knows is 32767 characters.
        if (size >= 32768) return false;
        buffer.resize(size * 2);
    }
}

// For argument 0 only; the Run value is written from the wide path, which loses nothing.
void PlatProgramPath(char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    std::wstring path;
    if (!ProgramPathWide(&path)) path.clear();
    AgentFromWide(path.data(), path.size(), buffer, size);
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

// The text is CP1251 whatever the system's ANSI code page; the console reads its OEM one.
void PlatDebugWrite(const char* ansiText) {
    std::wstring wide = WideFromAgent(ansiText);
    if (!wide.empty()) {
        int units = static_cast<int>(wide.size());
        int n = WideCharToMultiByte(CP_OEMCP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
        if (n > 0) {
            std::string oem(static_cast<size_t>(n), '\0');
            WideCharToMultiByte(CP_OEMCP, 0, wide.data(), units, &oem[0], n, nullptr, nullptr);
            fwrite(oem.data(), 1, oem.size(), stdout);
        }
    }
    fputc('\n', stdout);
    fflush(stdout);
}
