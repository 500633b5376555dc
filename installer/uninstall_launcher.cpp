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
//
// Run elevated or as SYSTEM, the copy must not be open to anyone less trusted: its folder has a
// random name and a protected DACL of its own, the copy is checked against the original and held
// open against replacement while it runs, and neither it nor this program looks for DLLs or
// runs in a folder others may write.
#include <windows.h>
// After windows.h, which they need.
#include <ntsecapi.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace {

const wchar_t kCoreFile[] = L"uninstall-core.exe";
const wchar_t kMovedSelf[] = L"removed-uninstall.exe";
const DWORD kNotRemoved = 5;
// Each try of the shell's clean-up fails at once while this process still runs.
const int kCleanupTries = 20000;
// A random name is taken only if someone else's folder has it; a few tries are plenty.
const int kFolderTries = 10;
const size_t kCompareChunk = 64 * 1024;

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

// Where temporary files go: GetTempPath2W where the system has it (SYSTEM gets its own
// SystemTemp instead of the shared Windows\Temp), otherwise GetTempPathW. Empty on failure.
std::wstring TempBase() {
    typedef DWORD(WINAPI * GetTempPath2Fn)(DWORD, LPWSTR);
    GetTempPath2Fn getTempPath2 = reinterpret_cast<GetTempPath2Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t temp[MAX_PATH + 1];
    DWORD n = getTempPath2 ? getTempPath2(MAX_PATH + 1, temp) : 0;
    if (n == 0 || n > MAX_PATH) n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) return std::wstring();
    std::wstring base(temp, n);
    if (base.back() != L'\\') base += L'\\';
    return base;
}

// The SID of this process's user in string form; empty on failure.
std::wstring UserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
    std::wstring result;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    wchar_t* text = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        result = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return result;
}

// True when this process runs with the Administrators group enabled (elevated, or SYSTEM).
bool RunsAsAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

// The protected DACL of the temporary folder, inherited by what is put in it: full control for
// SYSTEM and Administrators, and for the user only when not elevated (an elevated
// administrator's medium-integrity programs run as the same user, without Administrators).
std::wstring FolderSddl() {
    std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (RunsAsAdministrator()) return sddl;
    std::wstring user = UserSid();
    if (user.empty()) return std::wstring();
    return sddl + L"(A;OICI;FA;;;" + user + L")";
}

// 32 hex digits from the system's random generator; empty on failure. A name nobody can guess
// cannot be prepared in advance.
std::wstring RandomSuffix() {
    unsigned char bytes[16];
    if (!RtlGenRandom(bytes, sizeof bytes)) return std::wstring();
    const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    for (unsigned char b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

// A new folder in Temp that only this user (or, elevated, only administrators) and SYSTEM may
// write; empty on failure.
std::wstring MakeTempFolder() {
    std::wstring base = TempBase();
    std::wstring sddl = FolderSddl();
    if (base.empty() || sddl.empty()) return std::wstring();
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &sa.lpSecurityDescriptor, nullptr))
        return std::wstring();
    std::wstring dir;
    for (int i = 0; i < kFolderTries && dir.empty(); ++i) {
        std::wstring suffix = RandomSuffix();
        if (suffix.empty()) break;
        std::wstring candidate = base + L"VornaUninstall-" + suffix;
        // Never a folder that exists already: someone else's would keep its own DACL.
        if (CreateDirectoryW(candidate.c_str(), &sa))
            dir = candidate;
        else if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    LocalFree(sa.lpSecurityDescriptor);
    return dir;
}

// True when both open files hold the same bytes.
bool SameContents(HANDLE a, HANDLE b) {
    LARGE_INTEGER sizeA, sizeB;
    if (!GetFileSizeEx(a, &sizeA) || !GetFileSizeEx(b, &sizeB) || sizeA.QuadPart != sizeB.QuadPart)
        return false;
    std::vector<char> bufA(kCompareChunk), bufB(kCompareChunk);
    for (LONGLONG left = sizeA.QuadPart; left > 0;) {
        DWORD want = left < (LONGLONG)bufA.size() ? (DWORD)left : (DWORD)bufA.size();
        DWORD gotA = 0, gotB = 0;
        if (!ReadFile(a, bufA.data(), want, &gotA, nullptr) || gotA != want ||
            !ReadFile(b, bufB.data(), want, &gotB, nullptr) || gotB != want ||
            memcmp(bufA.data(), bufB.data(), want) != 0)
            return false;
        left -= want;
    }
    return true;
}

// Copies source to copy and opens the copy so that nobody can write, delete or rename it while
// the handle is open (running it only needs read sharing); INVALID_HANDLE_VALUE unless it then
// holds exactly the source's bytes.
HANDLE CopyAndHold(const std::wstring& source, const std::wstring& copy) {
    if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) return INVALID_HANDLE_VALUE;
    HANDLE held = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE original = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool same = held != INVALID_HANDLE_VALUE && original != INVALID_HANDLE_VALUE &&
                SameContents(held, original);
    if (original != INVALID_HANDLE_VALUE) CloseHandle(original);
    if (!same && held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }
    return held;
}

// The system folder, where nobody but administrators may plant a DLL; empty on failure.
std::wstring SystemFolder() {
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
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
                       SystemFolder().c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

DWORD Uninstall() {
    std::wstring self = LongPath(ModulePath());
    std::wstring install_dir = ParentOf(self);
    std::wstring core = install_dir + L"\\" + kCoreFile;
    if (install_dir.empty() || !Exists(core)) return kNotRemoved;
    std::wstring system = SystemFolder();
    std::wstring work = MakeTempFolder();
    if (system.empty() || work.empty()) return kNotRemoved;
    // Neither this process nor the uninstaller may hold the installation as its current folder,
    // nor run in one where others may put files.
    SetCurrentDirectoryW(system.c_str());
    // The uninstaller unpacks its plug-ins under TEMP: into this folder too, not a shared one.
    SetEnvironmentVariableW(L"TEMP", work.c_str());
    SetEnvironmentVariableW(L"TMP", work.c_str());

    std::wstring copy = work + L"\\" + kCoreFile;
    DWORD code = kNotRemoved;
    HANDLE held = CopyAndHold(core, copy);
    if (held != INVALID_HANDLE_VALUE) {
        // "_?=" goes last: the uninstaller takes the rest of the line as its folder (one given by
        // the caller comes before it and is ignored).
        code = RunAndWait(L"\"" + copy + L"\" " + Arguments() + L" _?=" + install_dir, system);
        CloseHandle(held);
    }
    DeleteFileW(copy.c_str());
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

// DLLs this program loads at run time come from System32 only, never from its own folder or the
// current one (SetDefaultDllDirectories: Windows 8, or 7 with KB2533623).
void LoadDllsFromSystemOnly() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    SetDefaultDllDirectoriesFn setDefault =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault) {
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        // Without it, at least the current folder is no longer searched.
        SetDllDirectoryW(L"");
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    LoadDllsFromSystemOnly();
    return (int)Uninstall();
}
