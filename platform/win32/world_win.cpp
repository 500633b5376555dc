#include "platform/win32/world_win.h"

#include <ws2tcpip.h>

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

bool PlatHasNetworkAddress() {
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) return true;
    INTERFACE_INFO list[32];
    DWORD bytes = 0;
    int result = WSAIoctl(probe, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &bytes,
                          nullptr, nullptr);
    closesocket(probe);
    if (result != 0) return true;  // cannot tell: say nothing of the network
    for (DWORD i = 0; i < bytes / sizeof list[0]; i++) {
        const sockaddr_in& address = list[i].iiAddress.AddressIn;
        if (!(list[i].iiFlags & IFF_LOOPBACK) && (list[i].iiFlags & IFF_UP) &&
            address.sin_addr.s_addr != 0)
            return true;
    }
    return false;
}
