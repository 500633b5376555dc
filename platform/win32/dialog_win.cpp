// Clock, timers, the two dialogs and their controls, posted messages, the loop and message boxes.
#include <windows.h>

#include <climits>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/text_win.h"
#include "platform/win32/windows_win.h"
#include "res/resource_ids.h"

static HWND ToHwnd(PlatWindow window) { return static_cast<HWND>(window); }

// Written once on the UI thread; the console's handler thread only posts to it.
static HWND volatile gMainWindow = nullptr;

HWND MainWindowHandle() { return gMainWindow; }

uint32_t PlatNowMs() { return GetTickCount(); }

// A null window would make SetTimer create a thread timer with an id of its own choosing.
void PlatSetTimer(PlatWindow window, int id, uint32_t periodMs) {
    if (window) SetTimer(ToHwnd(window), static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void PlatKillTimer(PlatWindow window, int id) {
    if (window) KillTimer(ToHwnd(window), static_cast<UINT_PTR>(id));
}

PlatWindow PlatCreateDialog(PlatDialog which) {
    // Unicode windows: typed text reaches the controls as typed, whatever the code page.
    HINSTANCE module = GetModuleHandleW(nullptr);
    if (which == kDialogStats)
        return CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_STATS), nullptr, StatsWindowProc, 0);
    HWND main = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_LOGON), nullptr, MainWindowProc, 0);
    gMainWindow = main;
    return main;
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
    std::vector<wchar_t> wide(static_cast<size_t>(limit));
    UINT got = GetDlgItemTextW(ToHwnd(window), id, wide.data(), limit);
    AgentFromWide(wide.data(), got, buffer, size);
}

// Setting the text a control already shows would only repaint it (the statistics text is set
// at every reply, mostly to what it was).
void PlatSetItemText(PlatWindow window, int id, const char* text) {
    if (!window) return;
    std::wstring wide = WideFromAgent(text);
    HWND item = GetDlgItem(ToHwnd(window), id);
    size_t length = wide.size();
    if (item && static_cast<size_t>(GetWindowTextLengthW(item)) == length && length < 1024) {
        wchar_t shown[1024];
        if (static_cast<size_t>(GetWindowTextW(item, shown, 1024)) == length &&
            wide.compare(0, length, shown, length) == 0)
            return;
    }
    SetDlgItemTextW(ToHwnd(window), id, wide.c_str());
}

bool PlatIsItemChecked(PlatWindow window, int id) {
    return window && IsDlgButtonChecked(ToHwnd(window), id) == BST_CHECKED;
}

void PlatSetItemChecked(PlatWindow window, int id, bool checked) {
    if (window) CheckDlgButton(ToHwnd(window), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void PlatSetItemIcon(PlatWindow window, int id, PlatIcon icon) {
    if (window)
        SendDlgItemMessageW(ToHwnd(window), id, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

PlatIcon PlatLoadIcon(int resourceId) {
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId));
}

// PostMessage to a null window would land in the thread's queue instead of being dropped.
void PlatPostCommand(PlatWindow window, int id) {
    if (window) PostMessageW(ToHwnd(window), WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void PlatPostNull(PlatWindow window) {
    if (window) PostMessageW(ToHwnd(window), WM_NULL, 0, 0);
}

void PlatPostQuit(int exitCode) { PostQuitMessage(exitCode); }

static bool TakenByDialog(HWND dialog, MSG* message) {
    return dialog && IsDialogMessageW(dialog, message);
}

int PlatRunMessageLoop(PlatWindow statsWindow, PlatWindow mainWindow) {
    MSG message = {};
    // A wide loop: an ANSI one would turn what the system code page lacks into '?' on the way.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (TakenByDialog(ToHwnd(statsWindow), &message) ||
            TakenByDialog(ToHwnd(mainWindow), &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void PlatMessageBox(PlatWindow owner, const char* text, const char* caption, PlatBoxKind kind) {
    UINT icon = kind == kBoxError     ? MB_ICONERROR
                : kind == kBoxWarning ? MB_ICONWARNING
                                      : MB_ICONINFORMATION;
    // A background program's box may otherwise open behind other windows, with nothing on the
    // taskbar to show it is there (the logon window owning it is hidden).
    UINT inFront = MB_SETFOREGROUND | MB_TOPMOST;
    MessageBoxW(ToHwnd(owner), WideFromAgent(text).c_str(), WideFromAgent(caption).c_str(),
                MB_OK | icon | inFront);
}
