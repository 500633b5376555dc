// The notification-area icon and the tray menu.
#include <windows.h>

#include <shellapi.h>

#include <cstddef>
#include <cstring>

#include "platform/events.h"
#include "core/text.h"
#include "platform/platform.h"
#include "platform/win32/messages.h"
#include "platform/win32/text_win.h"
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

static HWND ToHwnd(PlatWindow window) { return static_cast<HWND>(window); }
static HMENU ToMenu(PlatMenu menu) { return static_cast<HMENU>(menu); }

// The agent's one icon (window, id 0) in the layout of `size` bytes.
static NOTIFYICONDATAW IconData(PlatWindow window, DWORD size, UINT flags) {
    NOTIFYICONDATAW data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = size;
    data.hWnd = ToHwnd(window);
    data.uID = 0;
    data.uFlags = flags;
    return data;
}

bool PlatTrayNotify(PlatTrayAction action, PlatWindow window, PlatIcon icon, const char* tip) {
    // Without a window the shell would keep an icon nobody can remove or click.
    if (!window) return false;
    NOTIFYICONDATAW data = IconData(window, NOTIFYICONDATAW_V1_SIZE, NIF_MESSAGE);
    data.uCallbackMessage = kMsgTrayCallback;
    if (icon) {
        data.uFlags |= NIF_ICON;
        data.hIcon = static_cast<HICON>(icon);
    }
    if (tip) {
        data.uFlags |= NIF_TIP;
        // The shell reads the original layout, whose tip field holds 63 characters and a NUL;
        // the headers' field is longer. CP1251 gives one UTF-16 unit per character.
        char shown[kTipFieldV1];
        CopyBounded(shown, sizeof shown, tip);
        std::wstring wide = WideFromAgent(shown);
        wide.copy(data.szTip, kTipFieldV1 - 1);
    }
    DWORD message = action == kTrayAdd ? NIM_ADD : action == kTrayModify ? NIM_MODIFY : NIM_DELETE;
    return Shell_NotifyIconW(message, &data) != FALSE;
}

// Balloons need the Windows 2000 layout, in a call of their own; the status updates above keep
// the original one.
bool PlatTrayBalloon(PlatWindow window, const char* title, const char* text) {
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

PlatMenu PlatMenuLoad() { return LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDM_TRAY)); }

void PlatMenuCheck(PlatMenu menu, int id, bool checked) {
    if (menu) CheckMenuItem(ToMenu(menu), id, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void PlatMenuGray(PlatMenu menu, int id, bool grayed) {
    if (menu)
        EnableMenuItem(ToMenu(menu), id,
                       MF_BYCOMMAND | (grayed ? MF_DISABLED | MF_GRAYED : MF_ENABLED));
}

void PlatMenuTrack(PlatMenu menu, PlatWindow owner) {
    HMENU popup = menu ? GetSubMenu(ToMenu(menu), 0) : nullptr;
    if (!popup || !owner) return;
    POINT at = {};
    GetCursorPos(&at);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(ToHwnd(owner));
    TrackPopupMenu(popup, 0, at.x, at.y, 0, ToHwnd(owner), nullptr);
}

void PlatMenuDestroy(PlatMenu menu) {
    if (menu) DestroyMenu(ToMenu(menu));
}
