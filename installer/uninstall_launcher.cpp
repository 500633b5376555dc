// uninstall.exe: runs the installation's NSIS uninstaller (uninstall-core.exe beside it) and
// returns only when the removal is over, with its exit code.
//
// NSIS's uninstaller, started without "_?=", copies itself to Temp, starts the copy and exits at
// once: its caller can neither wait for it nor learn its result, and the copy stays in Temp. So
// this program copies the uninstaller into a folder of its own in Temp, runs the copy in place
// ("_?=" the installation) and waits. The copy removes everything but this running program, which
// then moves its own file out (a running exe cannot be deleted, but it can be moved) and removes
// the installation folder. Its temporary folder is removed by a command shell that retries until
// this process has ended.
//
// Exit codes: those of the uninstaller (0 everything removed, 1 cancelled, 2 the agent would not
// exit, 4 per machine without administrator rights), and 5 when something could not be removed.
#include <windows.h>

#include <string>

namespace {

const wchar_t kCoreFile[] = L"uninstall-core.exe";
const wchar_t kMovedSelf[] = L"removed-uninstall.exe";
const DWORD kNotRemoved = 5;
// Each try of the shell's clean-up fails at once while this process still runs.
const int kCleanupTries = 20000;

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
        if (n == 0) return std::wstring();
        if (n < path.size()) return path.substr(0, n);
        path.resize(path.size() * 2);
    }
}

// The long form of path: started through a short (8.3) name, the installation must still be
// recognised by the folder its entry names.
std::wstring LongPath(const std::wstring& path) {
    DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring result(n, L'\0');
    n = GetLongPathNameW(path.c_str(), &result[0], n);
    if (n == 0 || n >= result.size()) return path;
    return result.substr(0, n);
}

std::wstring ParentOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The arguments of this process without its program path, as NSIS itself splits them.
std::wstring Arguments() {
    const wchar_t* p = GetCommandLineW();
    wchar_t end = L' ';
    if (*p == L'"') {
        end = L'"';
        ++p;
    }
    while (*p && *p != end)
        ++p;
    if (*p) ++p;
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A new folder in Temp that nobody else uses; empty on failure.
std::wstring MakeTempFolder() {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) return std::wstring();
    std::wstring base(temp, n);
    if (base.back() != L'\\') base += L'\\';
    for (DWORD i = 0; i < 1000; ++i) {
        std::wstring dir = base + L"VornaUninstall-" + std::to_wstring(GetCurrentProcessId()) +
                           L"-" + std::to_wstring(GetTickCount() + i);
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
    }
    return std::wstring();
}

// Runs command_line with its current folder in cwd and waits; the exit code, or kNotRemoved
// when it could not be run.
DWORD RunAndWait(std::wstring command_line, const std::wstring& cwd) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(),
                        &si, &pi))
        return kNotRemoved;
    CloseHandle(pi.hThread);
    DWORD code = kNotRemoved;
    if (WaitForSingleObject(pi.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(pi.hProcess, &code))
        code = kNotRemoved;
    CloseHandle(pi.hProcess);
    return code;
}

// Removes folder (and what is in it) once this process has ended, in a hidden command shell.
void RemoveAfterExit(const std::wstring& folder) {
    wchar_t shell[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"COMSPEC", shell, MAX_PATH);
    std::wstring comspec = n > 0 && n < MAX_PATH ? std::wstring(shell, n) : L"cmd.exe";
    std::wstring command = L"\"" + comspec + L"\" /d /q /c for /l %i in (1,1," +
                           std::to_wstring(kCleanupTries) + L") do (rmdir /s /q \"" + folder +
                           L"\" 2>nul & if not exist \"" + folder + L"\" exit)";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       ParentOf(folder).c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

DWORD Uninstall() {
    std::wstring self = LongPath(ModulePath());
    std::wstring install_dir = ParentOf(self);
    std::wstring core = install_dir + L"\\" + kCoreFile;
    if (install_dir.empty() || !Exists(core)) return kNotRemoved;
    std::wstring work = MakeTempFolder();
    if (work.empty()) return kNotRemoved;
    // Neither this process nor the uninstaller may hold the installation as its current folder.
    SetCurrentDirectoryW(ParentOf(work).c_str());

    std::wstring copy = work + L"\\" + kCoreFile;
    DWORD code = kNotRemoved;
    if (CopyFileW(core.c_str(), copy.c_str(), FALSE)) {
        // "_?=" goes last: the uninstaller takes the rest of the line as its folder (one given by
        // the caller comes before it and is ignored).
        code = RunAndWait(L"\"" + copy + L"\" " + Arguments() + L" _?=" + install_dir, work);
        DeleteFileW(copy.c_str());
    }
    if (code != 0) {
        // Cancelled, or not everything could go: this program stays, to run the removal again.
        // (The copy may still be held for a moment after its process has ended.)
        if (!RemoveDirectoryW(work.c_str())) RemoveAfterExit(work);
        return code;
    }

    std::wstring moved = work + L"\\" + kMovedSelf;
    if (MoveFileExW(self.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        RemoveAfterExit(work);
    } else {
        // Temp on another volume: the file can go at the next restart at best.
        if (!RemoveDirectoryW(work.c_str())) RemoveAfterExit(work);
        if (!DeleteFileW(self.c_str())) {
            MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            code = kNotRemoved;
        }
    }
    if (!RemoveDirectoryW(install_dir.c_str()) && Exists(install_dir)) code = kNotRemoved;
    return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return (int)Uninstall(); }
