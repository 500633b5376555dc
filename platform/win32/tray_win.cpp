// The notification-area icon and the tray menu.
#include <windows.h>

#include <shellapi.h>

#include <cstddef>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "platform/platform.h"
#include "platform/win32/messages.h"
#include "platform/win32/text_win.h"
#include "platform/win32/windows_win.h"
#include "res/resource_ids.h"

// The shell of every Windows version the agent meets accepts the original layout.
static_assert(NOTIFYICONDATAW_V1_SIZE == 152 || sizeof(void*) != 4,
              "NOTIFYICONDATAW V1 is 152 bytes on 32-bit");
static_assert(NOTIFYICONDATAW_V2_SIZE == 936 || sizeof(void*) != 4,
              "NOTIFYICONDATAW V2 (balloons) is 936 bytes on 32-bit");
static const size_t kTipFieldV1 = 64;
static_assert(sizeof(NOTIFYICONDATAW::szTip) / sizeof(wchar_t) >= kTipFieldV1,
              "the V1 tip fits the field");
static_assert(offsetof(NOTIFYICONDATAW, szTip) + kTipFieldV1 * sizeof(wchar_t) ==
                      NOTIFYICONDATAW_V1_SIZE ||
                  sizeof(void*) != 4,
              "the V1 tip ends the V1 layout");

namespace {

// The menu between PlatMenuLoad and PlatMenuShow.
HMENU gMenu = nullptr;

// The agent's one icon (main window, id 0) in the layout of `size` bytes.
NOTIFYICONDATAW IconData(HWND window, DWORD size, UINT flags) {
    NOTIFYICONDATAW data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = size;
    data.hWnd = window;
    data.uID = 0;
    data.uFlags = flags;
    return data;
}

// The statistics window shows the tray's picture too.
void ShowStatsIcon(HICON icon) {
    HWND stats = StatsWindowHandle();
    if (stats)
        SendDlgItemMessageW(stats, IDC_STATS_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

}  // namespace

bool PlatTrayNotify(PlatTrayAction action, bool icon, bool tip) {
    const AccountView& view = gAgent.view;
    HICON picture = icon ? StatusIconHandle(view.icon) : nullptr;
    if (picture) ShowStatsIcon(picture);
    // Without a window the shell would keep an icon nobody can remove or click.
    HWND window = MainWindowHandle();
    if (!window) return false;
    NOTIFYICONDATAW data = IconData(window, NOTIFYICONDATAW_V1_SIZE, NIF_MESSAGE);
    data.uCallbackMessage = kMsgTrayCallback;
    if (picture) {
        data.uFlags |= NIF_ICON;
        data.hIcon = picture;
    }
    if (tip) {
        data.uFlags |= NIF_TIP;
        // The shell reads the original layout, whose tip field holds 63 characters and a NUL;
        // the headers' field is longer. CP1251 gives one UTF-16 unit per character.
        char shown[kTipFieldV1];
        CopyBounded(shown, sizeof shown, view.tooltip);
        std::wstring wide = WideFromAgent(shown);
        wide.copy(data.szTip, kTipFieldV1 - 1);
    }
    DWORD message = action == kTrayAdd ? NIM_ADD : action == kTrayModify ? NIM_MODIFY : NIM_DELETE;
    return Shell_NotifyIconW(message, &data) != FALSE;
}

// Balloons need the Windows 2000 layout, in a call of their own; the status updates above keep
// the original one.
bool PlatNotify(const char* title, const char* text) {
    HWND window = MainWindowHandle();
    if (!window) return false;
    NOTIFYICONDATAW data = IconData(window, NOTIFYICONDATAW_V2_SIZE, NIF_INFO);
    WideFromAgent(title != nullptr ? title : "")
        .copy(data.szInfoTitle, sizeof data.szInfoTitle / sizeof(wchar_t) - 1);
    WideFromAgent(text != nullptr ? text : "")
        .copy(data.szInfo, sizeof data.szInfo / sizeof(wchar_t) - 1);
    data.uTimeout = 10000;
    data.dwInfoFlags = NIIF_INFO;
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool PlatMenuLoad() {
    if (gMenu) DestroyMenu(gMenu);
    gMenu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDM_TRAY));
    return gMenu != nullptr;
}

void PlatMenuCheck(int id, bool checked) {
    if (gMenu) CheckMenuItem(gMenu, id, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void PlatMenuGray(int id, bool grayed) {
    if (gMenu)
        EnableMenuItem(gMenu, id, MF_BYCOMMAND | (grayed ? MF_DISABLED | MF_GRAYED : MF_ENABLED));
}

void PlatMenuShow() {
    HWND owner = MainWindowHandle();
    HMENU popup = gMenu ? GetSubMenu(gMenu, 0) : nullptr;
    if (popup && owner) {
        POINT at = {};
        GetCursorPos(&at);
        // Without the foreground the menu would not close when the user clicks elsewhere.
        SetForegroundWindow(owner);
        TrackPopupMenu(popup, 0, at.x, at.y, 0, owner, nullptr);
    }
    if (gMenu) DestroyMenu(gMenu);
    gMenu = nullptr;
    // The empty message makes the menu just tracked close properly.
    if (owner) PostMessageW(owner, WM_NULL, 0, 0);
}
