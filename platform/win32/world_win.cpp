#include "platform/win32/world_win.h"

#include "platform/events.h"
#include "platform/platform.h"
#include "platform/win32/windows_win.h"
#include "ui/texts.h"

// A datagram socket that carries nothing: it only exists to be told of address-list changes.
static SOCKET gAddressSocket = INVALID_SOCKET;

// Each SIO_ADDRESS_LIST_CHANGE reports one change; it has to be asked for again after each.
static bool ArmAddressListWatch() {
    DWORD bytes = 0;
    if (WSAIoctl(gAddressSocket, SIO_ADDRESS_LIST_CHANGE, nullptr, 0, nullptr, 0, &bytes, nullptr,
                 nullptr) == 0)
        return true;
    return WSAGetLastError() == WSAEWOULDBLOCK;  // armed: the change arrives as a message
}

bool PlatWatchAddressList() {
    HWND window = MainWindowHandle();
    if (!window || gAddressSocket != INVALID_SOCKET) return false;
    gAddressSocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (gAddressSocket == INVALID_SOCKET) return false;
    // Non-blocking before anything else: a blocking socket would wait in WSAIoctl for the next
    // change and hang the one thread.
    u_long nonBlocking = 1;
    if (ioctlsocket(gAddressSocket, FIONBIO, &nonBlocking) != 0 ||
        WSAAsyncSelect(gAddressSocket, window, kMsgAddressChange, FD_ADDRESS_LIST_CHANGE) != 0 ||
        !ArmAddressListWatch()) {
        closesocket(gAddressSocket);
        gAddressSocket = INVALID_SOCKET;
        return false;
    }
    return true;
}

void OnAddressListMessage(LPARAM lParam) {
    if (!(WSAGETSELECTEVENT(lParam) & FD_ADDRESS_LIST_CHANGE)) return;
    if (gAddressSocket != INVALID_SOCKET) ArmAddressListWatch();
    OnWorldChange(kWorldAddressChange);
}
