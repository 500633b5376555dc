// The support log: UTF-8 with a BOM so that Notepad shows the Russian text, bounded in size.
#include "platform/win32/debug_log_win.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// The agent's texts are compiled as CP1251, whatever the machine's ANSI code page is.
const UINT kTextCodePage = 1251;
const DWORD kLogLimitBytes = 1024 * 1024;
const char kBom[] = "\xEF\xBB\xBF";

HANDLE gLog = INVALID_HANDLE_VALUE;
DWORD gLogSize = 0;
char gLogPath[MAX_PATH];

bool WriteAll(const char* data, DWORD length) {
    DWORD written = 0;
    return WriteFile(gLog, data, length, &written, nullptr) && written == length;
}

// Support may read or delete the log while the agent runs.
HANDLE OpenForAppend(const char* path) {
    return CreateFileA(path, FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool OpenLog() {
    gLog = OpenForAppend(gLogPath);
    if (gLog == INVALID_HANDLE_VALUE) return false;
    gLogSize = GetFileSize(gLog, nullptr);
    if (gLogSize == INVALID_FILE_SIZE) gLogSize = 0;
    if (gLogSize == 0 && WriteAll(kBom, 3)) gLogSize = 3;
    return true;
}

// The previous part stays as PATH.1, so at most about twice the limit is kept.
void Rotate() {
    CloseHandle(gLog);
    gLog = INVALID_HANDLE_VALUE;
    char older[MAX_PATH + 2];
    const int n = snprintf(older, sizeof older, "%s.1", gLogPath);
    if (n > 0 && static_cast<size_t>(n) < sizeof older) {
        MoveFileExA(gLogPath, older, MOVEFILE_REPLACE_EXISTING);
    }
    // If the move failed, start over rather than grow without bound.
    HANDLE file = CreateFileA(gLogPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    OpenLog();
}

}  // namespace

bool PlatOpenDebugLog(const char* path) {
    if (!path || gLog != INVALID_HANDLE_VALUE) return false;
    const DWORD length = ExpandEnvironmentStringsA(path, gLogPath, sizeof gLogPath);
    if (length == 0 || length > sizeof gLogPath) return false;
    return OpenLog();
}

bool DebugLogIsOpen() { return gLog != INVALID_HANDLE_VALUE; }

void DebugLogWrite(const char* ansiText) {
    if (gLog == INVALID_HANDLE_VALUE) return;
    // A debug line is at most a few kilobytes; anything longer is cut.
    static WCHAR wide[4096];
    static char utf8[3 * 4096 + 2];
    int count = MultiByteToWideChar(kTextCodePage, 0, ansiText, -1, wide, 4096);
    if (count <= 0) {
        count = 4096;
        wide[count - 1] = L'\0';
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8 - 2, nullptr, nullptr);
    if (bytes <= 0) return;
    bytes -= 1;  // the NUL
    utf8[bytes++] = '\r';
    utf8[bytes++] = '\n';
    if (gLogSize + static_cast<DWORD>(bytes) > kLogLimitBytes) Rotate();
    if (gLog != INVALID_HANDLE_VALUE && WriteAll(utf8, static_cast<DWORD>(bytes)))
        gLogSize += static_cast<DWORD>(bytes);
}
