// close-agent.exe: asks every agent of this session to exit the way its tray menu's Exit does
// (it logs off first) and waits a bounded time for each to end, so that removing or replacing
// the agent's file finds it free. The MSI package runs it before its files go; on Windows the
// Restart Manager also ends agents of other sessions.
//
// Exit codes: 0 no agent runs any more in this session, 1 one would not exit in time.
#include <windows.h>

#include "res/resource_ids.h"

namespace {

// The agent's logon window: a dialog that lives, hidden or not, as long as the agent runs.
const wchar_t kDialogClass[] = L"#32770";
const wchar_t kAgentCaption[] = L"Подключение к Интернет";
// Exit during a session logs off first; the agent's request timeout is 3.5 s.
const UINT kSendTimeoutMs = 2000;
const DWORD kExitWaitMs = 5000;
const int kMaxRounds = 64;

// Another program's dialog may carry the same caption: only the agent's has these controls.
bool IsAgentWindow(HWND window) {
    return GetDlgItem(window, IDC_LOGIN) != nullptr && GetDlgItem(window, IDC_CONNECT) != nullptr;
}

// Asks the agent owning `window` to exit; true once its process has ended.
bool CloseAgent(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    DWORD_PTR result = 0;
    // A hung agent must not hang the installation: the send gives up after a while.
    SendMessageTimeoutW(window, WM_COMMAND, IDM_EXIT, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
    bool ended;
    if (process != nullptr) {
        ended = WaitForSingleObject(process, kExitWaitMs) == WAIT_OBJECT_0;
        CloseHandle(process);
    } else {
        // No handle to the process: watch its window instead.
        DWORD waited = 0;
        while (IsWindow(window) && waited < kExitWaitMs) {
            Sleep(100);
            waited += 100;
        }
        ended = !IsWindow(window);
    }
    return ended;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int stillRunning = 0;
    HWND after = nullptr;
    // Bounded: each round either ends an agent or steps over a window.
    for (int round = 0; round < kMaxRounds; ++round) {
        HWND window = FindWindowExW(nullptr, after, kDialogClass, kAgentCaption);
        if (window == nullptr) break;
        if (!IsAgentWindow(window)) {
            after = window;
        } else if (!CloseAgent(window)) {
            stillRunning++;
            after = window;
        }
        // An agent that ended took its window along: the search goes on from the same place.
    }
    return stillRunning == 0 ? 0 : 1;
}
