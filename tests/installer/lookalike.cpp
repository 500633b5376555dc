// The installer test's stand-in programs.
//   lookalike agent      a hung agent: the agent's logon window that ignores Exit
//   lookalike exiting-agent [ARG...]
//                        the agent's logon window from another program, which exits on Exit
//   lookalike foreign    another program's dialog with the agent's caption
//   lookalike wait-window 0|1 TIMEOUT_MS
//                        waits until an agent logon window exists (1) or none does (0);
//                        exit code 0 when it happened, 1 on timeout
//   lookalike agent-command-line TIMEOUT_MS
//                        waits for an agent logon window and prints "image PATH" and
//                        "command-line LINE" of its process; exit code 1 on timeout
//   lookalike uninstaller-probe REPORT [ARG...]
//                        installed as uninstall-core.exe: writes to REPORT how uninstall.exe ran
//                        it (its image, current folder, TEMP, the DACL of its folder, whether
//                        its file can be renamed) and exits with 1, "cancelled"
// The window modes print "ready" once the window exists and "command ID" for each WM_COMMAND,
// and end by themselves after kLifetimeMs so that a failed test leaves nothing running.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lookalike_ids.h"
#include "res/resource_ids.h"

namespace {

const UINT_PTR kLifetimeTimer = 1;
const UINT kLifetimeMs = 60000;
const DWORD kPollMs = 20;
const wchar_t kDialogClass[] = L"#32770";
const wchar_t kAgentCaption[] = L"Подключение к Интернет";
const int kProbeExitCode = 1;
// Set in exiting-agent mode: Exit ends the program as the agent's does.
bool gExitOnCommand = false;

INT_PTR CALLBACK DialogProc(HWND w, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG: SetTimer(w, kLifetimeTimer, kLifetimeMs, nullptr); return TRUE;
        case WM_COMMAND:
            printf("command %u\n", (unsigned)LOWORD(wp));
            fflush(stdout);
            if (gExitOnCommand && LOWORD(wp) == IDM_EXIT) PostQuitMessage(0);
            return TRUE;
        case WM_TIMER:
        case WM_CLOSE: PostQuitMessage(0); return TRUE;
    }
    return FALSE;
}

int RunWindow(int dialogId) {
    HWND w = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialogId), nullptr,
                                DialogProc, 0);
    if (!w) {
        fprintf(stderr, "lookalike: cannot create dialog %d (error %lu)\n", dialogId,
                GetLastError());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(w, &m)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }
    DestroyWindow(w);
    return 0;
}

HWND FindAgentWindow() {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, kDialogClass, kAgentCaption)) != nullptr) {
        if (GetDlgItem(w, IDC_CONNECT) && GetDlgItem(w, IDC_LOGIN)) return w;
    }
    return nullptr;
}

int WaitWindow(bool wanted, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if ((FindAgentWindow() != nullptr) == wanted) return 0;
        if (GetTickCount() - start >= timeoutMs) return 1;
        Sleep(kPollMs);
    }
}

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr,
                            nullptr);
    return out;
}

std::wstring ImageOf(HANDLE process) {
    wchar_t path[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    return QueryFullProcessImageNameW(process, 0, path, &size) ? std::wstring(path, size)
                                                               : std::wstring();
}

// The command line another process of the same bitness was started with, from its PEB.
std::wstring CommandLineOf(HANDLE process) {
    PROCESS_BASIC_INFORMATION info = {};
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &info, sizeof info, nullptr) !=
        0)
        return std::wstring();
    PEB peb = {};
    RTL_USER_PROCESS_PARAMETERS params = {};
    if (!ReadProcessMemory(process, info.PebBaseAddress, &peb, sizeof peb, nullptr) ||
        !ReadProcessMemory(process, peb.ProcessParameters, &params, sizeof params, nullptr))
        return std::wstring();
    std::wstring line(params.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!line.empty() && !ReadProcessMemory(process, params.CommandLine.Buffer, &line[0],
                                            params.CommandLine.Length, nullptr))
        return std::wstring();
    return line;
}

int PrintAgentCommandLine(DWORD timeoutMs) {
    if (WaitWindow(true, timeoutMs) != 0) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(FindAgentWindow(), &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) return 1;
    printf("image %s\ncommand-line %s\n", Utf8(ImageOf(process)).c_str(),
           Utf8(CommandLineOf(process)).c_str());
    CloseHandle(process);
    return 0;
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

std::wstring UserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"?";
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    std::wstring result = L"?";
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        result = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    CloseHandle(token);
    return result;
}

// "protected 0|1" and one "ace TYPE MASK SID" line per entry of the folder's DACL.
std::string DaclReport(const std::wstring& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return "dacl unreadable\n";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    std::string out =
        std::string("protected ") + ((control & SE_DACL_PROTECTED) ? "1" : "0") + "\n";
    ACL_SIZE_INFORMATION size = {};
    if (dacl && GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        for (DWORD i = 0; i < size.AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
            char line[64];
            snprintf(line, sizeof line, "ace %u 0x%08lx ", (unsigned)ace->Header.AceType,
                     (unsigned long)ace->Mask);
            out += line + Utf8(SidText(&ace->SidStart)) + "\n";
        }
    }
    LocalFree(sd);
    return out;
}

int UninstallerProbe(const char* reportPath) {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    std::wstring image(buffer, n);
    std::wstring folder = image.substr(0, image.find_last_of(L'\\'));
    n = GetCurrentDirectoryW(MAX_PATH * 2, buffer);
    std::wstring cwd(buffer, n < MAX_PATH * 2 ? n : 0);
    n = GetEnvironmentVariableW(L"TEMP", buffer, MAX_PATH * 2);
    std::wstring temp(buffer, n < MAX_PATH * 2 ? n : 0);
    n = GetSystemDirectoryW(buffer, MAX_PATH * 2);
    std::wstring system(buffer, n < MAX_PATH * 2 ? n : 0);
    // Held open by uninstall.exe without delete sharing, the file cannot be moved away.
    std::wstring moved = image + L".moved";
    std::string rename = "refused";
    if (MoveFileExW(image.c_str(), moved.c_str(), 0)) {
        rename = "allowed";
        MoveFileExW(moved.c_str(), image.c_str(), 0);
    }
    std::string report = "image " + Utf8(image) + "\ncwd " + Utf8(cwd) + "\ntemp " + Utf8(temp) +
                         "\nsystem " + Utf8(system) + "\nuser " + Utf8(UserSid()) + "\nrename " +
                         rename + "\n" + DaclReport(folder);
    FILE* f = fopen(reportPath, "wb");
    if (!f) return 3;
    fwrite(report.data(), 1, report.size(), f);
    fclose(f);
    return kProbeExitCode;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "agent") == 0) return RunWindow(IDD_LOOKALIKE_AGENT);
    if (argc >= 2 && strcmp(argv[1], "exiting-agent") == 0) {
        gExitOnCommand = true;
        return RunWindow(IDD_LOOKALIKE_AGENT);
    }
    if (argc == 2 && strcmp(argv[1], "foreign") == 0) return RunWindow(IDD_LOOKALIKE_FOREIGN);
    if (argc == 4 && strcmp(argv[1], "wait-window") == 0) {
        return WaitWindow(strcmp(argv[2], "1") == 0, (DWORD)strtoul(argv[3], nullptr, 10));
    }
    if (argc == 3 && strcmp(argv[1], "agent-command-line") == 0)
        return PrintAgentCommandLine((DWORD)strtoul(argv[2], nullptr, 10));
    if (argc >= 3 && strcmp(argv[1], "uninstaller-probe") == 0) return UninstallerProbe(argv[2]);
    fprintf(stderr, "usage: lookalike agent | exiting-agent [ARG...] | foreign | wait-window 0|1 "
                    "TIMEOUT_MS | agent-command-line TIMEOUT_MS | uninstaller-probe REPORT\n");
    return 2;
}
