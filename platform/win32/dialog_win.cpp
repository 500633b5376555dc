// Clock, timers, the two dialogs and their controls, posted commands, the loop and message boxes.
#include <windows.h>

#include <climits>
#include <cstring>
#include <vector>

#include "core/agent_state.h"
#include "platform/platform.h"
#include "platform/win32/text_win.h"
#include "platform/win32/windows_win.h"
#include "res/resource_ids.h"

namespace {

// Written on the UI thread only; the console's handler thread only posts to the main window.
HWND volatile gMainWindow = nullptr;
HWND gStatsWindow = nullptr;

// The pictures of the account's states, in the order they are loaded.
const struct {
    TrayIcon icon;
    int resourceId;
} kStatusIcons[] = {
    {kIconDisconnected, IDI_DISCONNECTED}, {kIconProgress, IDI_PROGRESS},
    {kIconConnected, IDI_CONNECTED},       {kIconError, IDI_NET_ERROR},
    {kIconBlocked, IDI_BLOCKED},           {kIconLimit, IDI_LIMIT},
};
HICON gStatusIcons[kIconError + 1];
bool gStatusIconsLoaded = false;

// Icons loaded from the module are shared and never freed, so loading them once is enough.
void LoadStatusIcons() {
    if (gStatusIconsLoaded) return;
    gStatusIconsLoaded = true;
    for (const auto& entry : kStatusIcons)
        gStatusIcons[entry.icon] =
            LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(entry.resourceId));
}

HWND WindowOf(PlatWindowId which) { return which == kWindowLogon ? gMainWindow : gStatsWindow; }

void GetItemText(HWND window, int id, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    buffer[0] = '\0';
    if (!window) return;
    int limit = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    std::vector<wchar_t> wide(static_cast<size_t>(limit));
    UINT got = GetDlgItemTextW(window, id, wide.data(), limit);
    AgentFromWide(wide.data(), got, buffer, size);
}

// Setting the text a control already shows would only repaint it (the statistics text is set
// at every reply, mostly to what it was).
void SetItemText(HWND window, int id, const char* text) {
    if (!window) return;
    std::wstring wide = WideFromAgent(text);
    HWND item = GetDlgItem(window, id);
    size_t length = wide.size();
    if (item && static_cast<size_t>(GetWindowTextLengthW(item)) == length && length < 1024) {
        wchar_t shown[1024];
        if (static_cast<size_t>(GetWindowTextW(item, shown, 1024)) == length &&
            wide.compare(0, length, shown, length) == 0)
            return;
    }
    SetDlgItemTextW(window, id, wide.c_str());
}

void SetItemChecked(HWND window, int id, bool checked) {
    if ((IsDlgButtonChecked(window, id) == BST_CHECKED) != checked)
        CheckDlgButton(window, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void SetItemEnabled(HWND window, int id, bool enabled) {
    HWND item = GetDlgItem(window, id);
    if (item && (IsWindowEnabled(item) != FALSE) != enabled)
        EnableWindow(item, enabled ? TRUE : FALSE);
}

}  // namespace

HWND MainWindowHandle() { return gMainWindow; }

HWND StatsWindowHandle() { return gStatsWindow; }

HICON StatusIconHandle(TrayIcon icon) {
    return icon > kIconNone && icon <= kIconError ? gStatusIcons[icon] : nullptr;
}

uint32_t PlatNowMs() { return GetTickCount(); }

// Without a window SetTimer would create a thread timer with an id of its own choosing.
void PlatSetTimer(int id, uint32_t periodMs) {
    if (gMainWindow) SetTimer(gMainWindow, static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void PlatKillTimer(int id) {
    if (gMainWindow) KillTimer(gMainWindow, static_cast<UINT_PTR>(id));
}

bool PlatCreateWindow(PlatWindowId which) {
    // Unicode windows: typed text reaches the controls as typed, whatever the code page.
    HINSTANCE module = GetModuleHandleW(nullptr);
    if (which == kWindowStats) {
        gStatsWindow =
            CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_STATS), nullptr, StatsWindowProc, 0);
        return gStatsWindow != nullptr;
    }
    LoadStatusIcons();
    gMainWindow =
        CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_LOGON), nullptr, MainWindowProc, 0);
    return gMainWindow != nullptr;
}

void PlatDestroyWindows() {
    HWND main = gMainWindow;
    gMainWindow = nullptr;
    if (main) DestroyWindow(main);
    if (gStatsWindow) DestroyWindow(gStatsWindow);
    gStatsWindow = nullptr;
}

void PlatShowWindow(PlatWindowId which, bool visible) {
    HWND hwnd = WindowOf(which);
    if (!hwnd) return;
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

// Only what differs from what the controls show changes: a field the user is typing in, or a
// box already as it should be, is left alone.
void PlatShowLogonForm() {
    HWND main = gMainWindow;
    if (!main) return;
    const LogonForm& form = gAgent.view.form;
    SetItemText(main, IDC_LOGIN, form.login);
    // The stand-in shows that a password is remembered; the block itself never leaves the core.
    SetItemText(main, IDC_PASSWORD, form.passwordRemembered ? "password" : "");
    SetItemChecked(main, IDC_REMEMBER, form.remember);
    SetItemEnabled(main, IDC_REMEMBER, form.rememberAllowed);
}

bool PlatReadLogonForm(char* login, size_t loginSize, char* password, size_t passwordSize,
                       bool* remember) {
    HWND main = gMainWindow;
    if (!main) return false;
    GetItemText(main, IDC_LOGIN, login, loginSize);
    if (password) GetItemText(main, IDC_PASSWORD, password, passwordSize);
    if (remember) *remember = IsDlgButtonChecked(main, IDC_REMEMBER) == BST_CHECKED;
    return true;
}

void PlatShowStatistics() { SetItemText(gStatsWindow, IDC_STATS_TEXT, gAgent.view.statistics); }

// PostMessage to a null window would land in the thread's queue instead of being dropped.
void PlatPostCommand(int id) {
    if (gMainWindow) PostMessageW(gMainWindow, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void PlatPostQuit(int exitCode) { PostQuitMessage(exitCode); }

static bool TakenByDialog(HWND dialog, MSG* message) {
    return dialog && IsDialogMessageW(dialog, message);
}

void DispatchLoopMessage(MSG* message) {
    if (TakenByDialog(gStatsWindow, message) || TakenByDialog(gMainWindow, message)) return;
    TranslateMessage(message);
    DispatchMessageW(message);
}

int PlatRunLoop() {
    MSG message = {};
    // A wide loop: an ANSI one would turn what the system code page lacks into '?' on the way.
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchLoopMessage(&message);
    return static_cast<int>(message.wParam);
}

void PlatMessageBox(bool owned, const char* text, const char* caption, PlatBoxKind kind) {
    UINT icon = kind == kBoxError     ? MB_ICONERROR
                : kind == kBoxWarning ? MB_ICONWARNING
                                      : MB_ICONINFORMATION;
    // A background program's box may otherwise open behind other windows, with nothing on the
    // taskbar to show it is there (the logon window owning it is hidden).
    UINT inFront = MB_SETFOREGROUND | MB_TOPMOST;
    MessageBoxW(owned ? gMainWindow : nullptr, WideFromAgent(text).c_str(),
                WideFromAgent(caption).c_str(), MB_OK | icon | inFront);
}
