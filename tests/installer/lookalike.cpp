// The installer test's stand-in windows.
//   lookalike agent      a hung agent: the agent's logon window that ignores Exit
//   lookalike foreign    another program's dialog with the agent's caption
//   lookalike wait-window 0|1 TIMEOUT_MS
//                        waits until an agent logon window exists (1) or none does (0);
//                        exit code 0 when it happened, 1 on timeout
// The window modes print "ready" once the window exists and "command ID" for each WM_COMMAND,
// and end by themselves after kLifetimeMs so that a failed test leaves nothing running.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lookalike_ids.h"
#include "res/resource_ids.h"

namespace {

const UINT_PTR kLifetimeTimer = 1;
const UINT kLifetimeMs = 60000;
const DWORD kPollMs = 20;
const wchar_t kDialogClass[] = L"#32770";
const wchar_t kAgentCaption[] = L"Подключение к Интернет";

INT_PTR CALLBACK DialogProc(HWND w, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG: SetTimer(w, kLifetimeTimer, kLifetimeMs, nullptr); return TRUE;
        case WM_COMMAND:
            printf("command %u\n", (unsigned)LOWORD(wp));
            fflush(stdout);
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

bool AgentWindowExists() {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, kDialogClass, kAgentCaption)) != nullptr) {
        if (GetDlgItem(w, IDC_CONNECT) && GetDlgItem(w, IDC_LOGIN)) return true;
    }
    return false;
}

int WaitWindow(bool wanted, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (AgentWindowExists() == wanted) return 0;
        if (GetTickCount() - start >= timeoutMs) return 1;
        Sleep(kPollMs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "agent") == 0) return RunWindow(IDD_LOOKALIKE_AGENT);
    if (argc == 2 && strcmp(argv[1], "foreign") == 0) return RunWindow(IDD_LOOKALIKE_FOREIGN);
    if (argc == 4 && strcmp(argv[1], "wait-window") == 0) {
        return WaitWindow(strcmp(argv[2], "1") == 0, (DWORD)strtoul(argv[3], nullptr, 10));
    }
    fprintf(stderr, "usage: lookalike agent | foreign | wait-window 0|1 TIMEOUT_MS\n");
    return 2;
}
