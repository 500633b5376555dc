// The notification-area icon and the tray menu.
#include <windows.h>

#include <shellapi.h>

#include <cstddef>
#include <cstring>

#include "core/text.h"
#include "platform/platform.h"
#include "res/resource_ids.h"
#include "ui/handlers.h"

// The shell of every Windows version the agent meets accepts the original layout.
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "NOTIFYICONDATAA V1 is 88 bytes on 32-bit");
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "NOTIFYICONDATAA V2 (balloons) is 488 bytes");
static const size_t kTipFieldV1 = 64;
static_assert(sizeof(NOTIFYICONDATAA::szTip) >= kTipFieldV1, "the V1 tip fits the field");
static_assert(offsetof(NOTIFYICONDATAA, szTip) + kTipFieldV1 == NOTIFYICONDATAA_V1_SIZE ||
                  sizeof(void*) != 4,
              "the V1 tip ends the V1 layout");

static HWND ToHwnd(PlatWindow window) { return static_cast<HWND>(window); }
static HMENU ToMenu(PlatMenu menu) { return static_cast<HMENU>(menu); }

bool PlatTrayNotify(PlatTrayAction action, PlatWindow window, PlatIcon icon, const char* tip) {
    // Without a window the shell would keep an icon nobody can remove or click.
    if (!window) return false;
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = ToHwnd(window);
    data.uID = 0;
    data.uFlags = NIF_MESSAGE;
    data.uCallbackMessage = kMsgTrayCallback;
    if (icon) {
        data.uFlags |= NIF_ICON;
        data.hIcon = static_cast<HICON>(icon);
    }
    if (tip) {
        data.uFlags |= NIF_TIP;
        // The shell reads the 88-byte layout, whose tip field holds 63 characters and a NUL;
        // the headers' field is longer.
        CopyBounded(data.szTip, kTipFieldV1, tip);
    }
    DWORD message = action == kTrayAdd ? NIM_ADD : action == kTrayModify ? NIM_MODIFY : NIM_DELETE;
    return Shell_NotifyIconA(message, &data) != FALSE;
}

// Balloons need the Windows 2000 layout; the status updates above keep the original one.
bool PlatTrayBalloon(PlatWindow window, const char* title, const char* text) {
    if (!window) return false;
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = ToHwnd(window);
    data.uID = 0;
    data.uFlags = NIF_INFO;
    CopyBounded(data.szInfoTitle, sizeof data.szInfoTitle, title != nullptr ? title : "");
    CopyBounded(data.szInfo, sizeof data.szInfo, text != nullptr ? text : "");
    data.uTimeout = 10000;
    data.dwInfoFlags = NIIF_INFO;
    return Shell_NotifyIconA(NIM_MODIFY, &data) != FALSE;
}

PlatMenu PlatMenuLoad() { return LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDM_TRAY)); }

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
