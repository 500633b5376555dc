// Practice target for vorna_driver: a modeless dialog, a tray icon with a popup menu and message
// boxes. It writes one line to standard output for each thing done to it, so the driver's own
// tests can see that each action arrived as a user's would.
//   vorna_standin [--box-first]   --box-first shows an unowned box before the dialog exists
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "standin_ids.h"

namespace {

const UINT kTrayMessage = WM_USER + 1;
UINT gTaskbarCreated;
HWND gDialog;
WNDPROC gSecretProc;
NOTIFYICONDATAA gTray;

void Say(const char* line, int value) {
    printf("%s %d\n", line, value);
    fflush(stdout);
}

LRESULT CALLBACK SecretProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CHAR) Say("secret-char", (int)(unsigned char)wp);
    return CallWindowProcA(gSecretProc, w, msg, wp, lp);
}

bool AddTrayIcon(HWND w) {
    memset(&gTray, 0, sizeof gTray);
    gTray.cbSize = NOTIFYICONDATAA_V1_SIZE;
    gTray.hWnd = w;
    gTray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    gTray.uCallbackMessage = kTrayMessage;
    gTray.hIcon = LoadIconA(nullptr, IDI_EXCLAMATION);
    strcpy(gTray.szTip, "standin");
    return Shell_NotifyIconA(NIM_ADD, &gTray) != FALSE;
}

void ShowMenu(HWND w) {
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDM_STANDIN));
    if (!menu) return;
    POINT at;
    GetCursorPos(&at);
    SetForegroundWindow(w);
    Say("menu-open", 1);
    TrackPopupMenu(GetSubMenu(menu, 0), 0, at.x, at.y, 0, w, nullptr);
    Say("menu-closed", 1);
    DestroyMenu(menu);
    PostMessageA(w, WM_NULL, 0, 0);
}

void OnCommand(HWND w, int id, int code) {
    printf("command %d %d\n", id, code);
    fflush(stdout);
    switch (id) {
        case IDC_GO: {
            char name[64] = {};
            GetDlgItemTextA(w, IDC_NAME, name, sizeof name);
            printf("name-hex ");
            for (const char* p = name; *p; ++p)
                printf("%02X", (unsigned char)*p);
            printf("\nflag %d\n", IsDlgButtonChecked(w, IDC_FLAG) == BST_CHECKED ? 1 : 0);
            fflush(stdout);
            break;
        }
        case IDC_HIDE: ShowWindow(w, SW_HIDE); break;
        case IDM_BOX:
            MessageBoxA(w, "Текст сообщения", "Сообщение проверки", MB_ICONWARNING);
            Say("box-closed", 1);
            break;
        case IDM_QUIT: PostQuitMessage(3); break;
    }
}

INT_PTR CALLBACK DialogProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == gTaskbarCreated && msg != 0) {
        Say("taskbar-created", AddTrayIcon(w) ? 1 : 0);
        return TRUE;
    }
    switch (msg) {
        case WM_INITDIALOG:
            gSecretProc = (WNDPROC)SetWindowLongPtrA(GetDlgItem(w, IDC_SECRET), GWLP_WNDPROC,
                                                     (LONG_PTR)SecretProc);
            return TRUE;
        case WM_COMMAND: OnCommand(w, LOWORD(wp), HIWORD(wp)); return TRUE;
        case WM_CLOSE:
            ShowWindow(w, SW_HIDE);
            Say("close", 1);
            return TRUE;
        case WM_QUERYENDSESSION: Say("query-end-session", 1); return FALSE;
        case kTrayMessage:
            Say("tray", (int)lp);
            if (lp == WM_RBUTTONDOWN || lp == WM_LBUTTONDOWN) ShowMenu(w);
            return TRUE;
    }
    return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    if (strstr(commandLine, "--box-first")) {
        MessageBoxA(nullptr, "Первое сообщение", "Сообщение проверки", MB_ICONERROR);
        Say("first-box-closed", 1);
    }
    gTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    gDialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_STANDIN), nullptr, DialogProc, 0);
    if (!gDialog) return 1;
    ShowWindow(gDialog, SW_SHOW);
    Say("tray-add", AddTrayIcon(gDialog) ? 1 : 0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(gDialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    Shell_NotifyIconA(NIM_DELETE, &gTray);
    DestroyWindow(gDialog);
    Say("exit", (int)msg.wParam);
    return (int)msg.wParam;
}
