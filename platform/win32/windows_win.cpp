// The window procedures: each message is decoded and handed to exactly one handler.
#include <winsock2.h>

#include <windows.h>

#include "platform/events.h"
#include "platform/win32/messages.h"
#include "platform/win32/windows_win.h"
#include "platform/win32/world_win.h"
#include "res/resource_ids.h"
#include "ui/texts.h"

// The password edit's own procedure, which every message is passed on to.
static WNDPROC gPasswordFieldPrevious = nullptr;

static TrayMouse ClassifyTrayMouse(LPARAM mouseMessage) {
    switch (static_cast<UINT>(mouseMessage)) {
        case WM_MOUSEMOVE: return kTrayMouseMove;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK: return kTrayMouseButton;
        default: return kTrayMouseOther;
    }
}

// Winsock's notification as the core's event; one the agent never asks for, or several at once,
// is passed on as kSocketOther.
static PlatSocketEvent ClassifySocketEvent(WORD event) {
    switch (event) {
        case FD_CONNECT: return kSocketConnected;
        case FD_WRITE: return kSocketWritable;
        case FD_READ: return kSocketReadable;
        case FD_CLOSE: return kSocketClosed;
        default: return kSocketOther;
    }
}

// Explorer broadcasts this after it (re)starts; the icon has to be added again.
static UINT TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageA("TaskbarCreated");
    return message;
}

static void WatchPasswordField(HWND dialog) {
    HWND field = GetDlgItem(dialog, IDC_PASSWORD);
    if (!field) return;
    LONG_PTR previous =
        SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PasswordFieldProc));
    if (previous) gPasswordFieldPrevious = reinterpret_cast<WNDPROC>(previous);
}

// Winsock's error code as the core's class of it. Wine reports a peer's reset as
// WSAECONNABORTED.
static PlatNetError ClassifyNetError(WORD error) {
    switch (error) {
        case 0: return kNetOk;
        case WSAENETUNREACH:
        case WSAENETDOWN: return kNetUnreachable;
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN: return kNetHostUnreachable;
        case WSAECONNREFUSED: return kNetRefused;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETRESET: return kNetReset;
        case WSAETIMEDOUT: return kNetTimedOut;
        default: return kNetOther;
    }
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            WatchPasswordField(window);
            return TRUE;  // focus goes to the first control, the login field
        case WM_CLOSE: OnWindowClose(kWindowLogon); return TRUE;
        case WM_COMMAND: OnCommand(LOWORD(wParam)); return TRUE;
        case WM_TIMER: OnTimer(static_cast<int>(wParam)); return TRUE;
        case kMsgTrayCallback: OnTrayEvent(ClassifyTrayMouse(lParam)); return TRUE;
        case kMsgSocketNotify:
            OnSocketEvent(static_cast<PlatSocket>(wParam),
                          ClassifySocketEvent(WSAGETSELECTEVENT(lParam)),
                          ClassifyNetError(WSAGETSELECTERROR(lParam)));
            return TRUE;
        case WM_QUERYENDSESSION:
            LogoutAtSessionEnd();
            return FALSE;  // not handled: the default answer lets the session end
        case WM_ENDSESSION:
            OnEndSession(wParam != 0, (lParam & ENDSESSION_CLOSEAPP) != 0);
            return FALSE;
        case WM_POWERBROADCAST:
            // Both arrive on a resume (the second only when a user is present); they coalesce.
            if (wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND)
                OnWorldChange(kWorldResume);
            return TRUE;
        case kMsgAddressChange: OnAddressListMessage(lParam); return TRUE;
        default:
            if (message == TaskbarCreatedMessage()) {
                OnTaskbarCreated();
                return TRUE;
            }
            return FALSE;
    }
}

LRESULT CALLBACK PasswordFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CHAR) OnPasswordTyped();
    if (!gPasswordFieldPrevious) return DefWindowProcW(field, message, wParam, lParam);
    return CallWindowProcW(gPasswordFieldPrevious, field, message, wParam, lParam);
}

INT_PTR CALLBACK StatsWindowProc(HWND, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_CLOSE: OnWindowClose(kWindowStats); return TRUE;
        case WM_COMMAND: OnStatsCommand(LOWORD(wParam)); return TRUE;
        default: return FALSE;
    }
}
