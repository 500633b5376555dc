// Shows the logon or the statistics dialog straight from the compiled resources, filled with
// sample figures, so the templates can be looked at and captured without the agent.
// Usage: res_preview 104 | 200 [icon id]; prints "window X Y WIDTH HEIGHT" once it is shown.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "res/resource_ids.h"

namespace {

const char kSampleStats[] =
    "Подключен\n"
    "Баланс: 1250.75\n"
    "За сессию: 12.40\n"
    "\n"
    "Уважаемый абонент! С 1 марта изменяются тарифы на доступ к платным сетям. "
    "Подробности можно узнать у администратора сети.";
const char kSampleLogin[] = "ivanov";
const char kSamplePassword[] = "password";

INT_PTR CALLBACK PreviewProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG: return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_HIDE || LOWORD(wParam) == IDC_STATS_OK) DestroyWindow(dlg);
            return TRUE;
        case WM_CLOSE: DestroyWindow(dlg); return TRUE;
        case WM_DESTROY: PostQuitMessage(0); return TRUE;
    }
    return FALSE;
}

void FillStats(HINSTANCE inst, HWND dlg, int iconId) {
    SetDlgItemTextA(dlg, IDC_STATS_TEXT, kSampleStats);
    HICON icon = LoadIconA(inst, MAKEINTRESOURCEA(iconId));
    SendDlgItemMessageA(dlg, IDC_STATS_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

void FillLogon(HWND dlg) {
    SetDlgItemTextA(dlg, IDC_LOGIN, kSampleLogin);
    SetDlgItemTextA(dlg, IDC_PASSWORD, kSamplePassword);
    CheckDlgButton(dlg, IDC_REMEMBER, BST_CHECKED);
}

}  // namespace

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR cmdLine, int) {
    char* rest = nullptr;
    long dialogId = std::strtol(cmdLine, &rest, 10);
    long iconId = std::strtol(rest, nullptr, 10);
    if (dialogId != IDD_LOGON && dialogId != IDD_STATS) {
        MessageBoxA(nullptr, "res_preview 104 | 200 [icon id]", "res_preview", MB_ICONERROR);
        return 2;
    }
    HWND dlg = CreateDialogParamA(inst, MAKEINTRESOURCEA(dialogId), nullptr, PreviewProc, 0);
    if (dlg == nullptr) return 1;
    if (dialogId == IDD_STATS)
        FillStats(inst, dlg, iconId > 0 ? static_cast<int>(iconId) : IDI_CONNECTED);
    else
        FillLogon(dlg);
    ShowWindow(dlg, SW_SHOW);
    SetForegroundWindow(dlg);
    UpdateWindow(dlg);
    // A blinking caret would make two captures of the same window differ.
    HideCaret(nullptr);
    // A screenshot script reads where the window landed; DS_CENTER decides it.
    RECT rect;
    GetWindowRect(dlg, &rect);
    std::printf("window %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    std::fflush(stdout);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return 0;
}
