// Clock, timers, the two dialogs and their controls, posted messages, the loop and message boxes.
#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/windows_win.h"
#include "res/resource_ids.h"

static HWND ToHwnd(PlatWindow window) { return static_cast<HWND>(window); }

uint32_t PlatNowMs() { return GetTickCount(); }

// A null window would make SetTimer create a thread timer with an id of its own choosing.
void PlatSetTimer(PlatWindow window, int id, uint32_t periodMs) {
    if (window) SetTimer(ToHwnd(window), static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void PlatKillTimer(PlatWindow window, int id) {
    if (window) KillTimer(ToHwnd(window), static_cast<UINT_PTR>(id));
}

PlatWindow PlatCreateDialog(PlatDialog which) {
    HINSTANCE module = GetModuleHandleA(nullptr);
    if (which == kDialogStats)
        return CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_STATS), nullptr, StatsWindowProc, 0);
    return CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_LOGON), nullptr, MainWindowProc, 0);
}

void PlatDestroyWindow(PlatWindow window) {
    if (window) DestroyWindow(ToHwnd(window));
}

void PlatShowWindow(PlatWindow window, bool visible) {
    if (!window) return;
    HWND hwnd = ToHwnd(window);
    // Showing a window that is shown changes nothing (the statistics window is shown at every
    // Information request and again at its reply); asking for the focus costs a round trip.
    if (visible && IsWindowVisible(hwnd)) return;
    HWND focus = GetFocus();
    // A hidden window keeps no focus: a caret blinking in it would wake the agent twice a
    // second for as long as it runs.
    if (!visible && focus && (focus == hwnd || IsChild(hwnd, focus))) SetFocus(nullptr);
    ShowWindow(hwnd, visible ? SW_SHOW : SW_HIDE);
    if (visible && GetFocus() == nullptr) {
        HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE);
        if (first) SetFocus(first);
    }
}

void PlatGetItemText(PlatWindow window, int id, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    buffer[0] = '\0';
    if (!window) return;
    int limit = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    GetDlgItemTextA(ToHwnd(window), id, buffer, limit);
    buffer[size - 1] = '\0';
}

// Setting the text a control already shows would only repaint it (the statistics text is set
// at every reply, mostly to what it was).
void PlatSetItemText(PlatWindow window, int id, const char* text) {
    if (!window) return;
    if (!text) text = "";
    HWND item = GetDlgItem(ToHwnd(window), id);
    size_t length = strlen(text);
    if (item && static_cast<size_t>(GetWindowTextLengthA(item)) == length && length < 1024) {
        char shown[1024];
        if (static_cast<size_t>(GetWindowTextA(item, shown, sizeof shown)) == length &&
            memcmp(shown, text, length) == 0)
            return;
    }
    SetDlgItemTextA(ToHwnd(window), id, text);
}

bool PlatIsItemChecked(PlatWindow window, int id) {
    return window && IsDlgButtonChecked(ToHwnd(window), id) == BST_CHECKED;
}

void PlatSetItemChecked(PlatWindow window, int id, bool checked) {
    if (window) CheckDlgButton(ToHwnd(window), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void PlatSetItemEnabled(PlatWindow window, int id, bool enabled) {
    if (window) EnableWindow(GetDlgItem(ToHwnd(window), id), enabled ? TRUE : FALSE);
}

void PlatSetItemIcon(PlatWindow window, int id, PlatIcon icon) {
    if (window)
        SendDlgItemMessageA(ToHwnd(window), id, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

PlatIcon PlatLoadIcon(int resourceId) {
    return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resourceId));
}

// PostMessage to a null window would land in the thread's queue instead of being dropped.
void PlatPostCommand(PlatWindow window, int id) {
    if (window) PostMessageA(ToHwnd(window), WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void PlatPostNull(PlatWindow window) {
    if (window) PostMessageA(ToHwnd(window), WM_NULL, 0, 0);
}

void PlatPostQuit(int exitCode) { PostQuitMessage(exitCode); }

static bool TakenByDialog(HWND dialog, MSG* message) {
    return dialog && IsDialogMessageA(dialog, message);
}

int PlatRunMessageLoop(PlatWindow statsWindow, PlatWindow mainWindow) {
    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (TakenByDialog(ToHwnd(statsWindow), &message) ||
            TakenByDialog(ToHwnd(mainWindow), &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

void PlatMessageBox(PlatWindow owner, const char* text, const char* caption, PlatBoxKind kind) {
    UINT icon = kind == kBoxError     ? MB_ICONERROR
                : kind == kBoxWarning ? MB_ICONWARNING
                                      : MB_ICONINFORMATION;
    MessageBoxA(ToHwnd(owner), text ? text : "", caption ? caption : "", MB_OK | icon);
}
