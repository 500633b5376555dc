// The single-instance mutex, the program's own path and the debug console.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/debug_log_win.h"

// Set once the debug output was asked for (--debug), as opposed to the log file alone.
static bool gDebugOutputOpen = false;

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

// Started with its output redirected (a file, a pipe), the agent keeps writing there; otherwise
// it opens a console of its own.
void PlatOpenDebugOutput() {
    gDebugOutputOpen = true;
    if (HasUsableStdout()) return;
    AllocConsole();
    // Without the streams the debug lines are lost, which is all that can go wrong here; the
    // output does not depend on the input.
    (void)freopen("CONIN$", "r", stdin);
    (void)freopen("CONOUT$", "w", stdout);
}

void PlatDebugWrite(const char* ansiText) {
    if (!ansiText) ansiText = "";
    DebugLogWrite(ansiText);
    if (DebugLogIsOpen() && !gDebugOutputOpen) return;
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
