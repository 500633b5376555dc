// Winsock sockets: event-driven ones for the engine, time-bounded ones for the session-end logoff.
#include <winsock2.h>

#include <windows.h>

#include "platform/events.h"
#include "platform/platform.h"
#include "platform/win32/messages.h"
#include "platform/win32/windows_win.h"

static_assert(kNoSocket == static_cast<PlatSocket>(INVALID_SOCKET), "no socket is INVALID_SOCKET");

static SOCKET ToSocket(PlatSocket s) { return static_cast<SOCKET>(s); }

static bool FillAddress(sockaddr_in* to, const char* address, int port) {
    if (!address) return false;
    ZeroMemory(to, sizeof *to);
    to->sin_family = AF_INET;
    to->sin_addr.s_addr = inet_addr(address);
    to->sin_port = htons(static_cast<u_short>(port));
    return true;
}

static bool SetNonBlocking(PlatSocket s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(ToSocket(s), FIONBIO, &mode) == 0;
}

// The agent needs Winsock 2.2; a library that offers another version is let go again.
PlatSocketsStart PlatSocketsStartup() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return kSocketsFailed;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        return kSocketsUnsupported;
    }
    return kSocketsReady;
}

PlatSocket PlatSocketOpen() {
    PlatSocket s = PlatSocketOpenBlocking();
    if (s != kNoSocket && !SetNonBlocking(s, true)) {
        PlatSocketClose(s);
        return kNoSocket;
    }
    return s;
}

// What each wait asks Winsock for; a close is always among it.
static long WaitMask(SocketWait what) {
    switch (what) {
        case kWaitConnect: return FD_CONNECT | FD_CLOSE;
        case kWaitWrite: return FD_WRITE | FD_CLOSE;
        case kWaitRead: return FD_READ | FD_CLOSE;
    }
    return FD_CLOSE;
}

// The notifications go to the main window, replacing what was asked for before.
void PlatSocketWait(PlatSocket s, SocketWait what) {
    HWND window = MainWindowHandle();
    if (s == kNoSocket || !window) return;
    WSAAsyncSelect(ToSocket(s), window, kMsgSocketNotify, WaitMask(what));
}

void PlatSocketConnect(PlatSocket s, const char* address, int port) {
    sockaddr_in to;
    if (s == kNoSocket || !FillAddress(&to, address, port)) return;
    // The outcome arrives as FD_CONNECT, so the immediate result is of no use.
    (void)connect(ToSocket(s), reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int PlatSocketSend(PlatSocket s, const uint8_t* data, int length) {
    if (s == kNoSocket || !data || length < 0) return -1;
    int sent = send(ToSocket(s), reinterpret_cast<const char*>(data), length, 0);
    if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return kSendWouldBlock;
    return sent;
}

// Whether a connection whose read came back empty was reset rather than closed. Wine reports a
// peer's reset as a close without an error and an empty read, so the socket is asked as well: a
// pending error, or an empty send refused (a reset connection takes nothing, while one the peer
// closed in order still accepts an empty send).
static bool EndedInError(PlatSocket s) {
    int error = 0;
    int size = sizeof error;
    if (getsockopt(ToSocket(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) ==
            0 &&
        error != 0)
        return true;
    char none = 0;
    return send(ToSocket(s), &none, 0, 0) == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK;
}

int PlatSocketRecv(PlatSocket s, uint8_t* data, int length) {
    if (s == kNoSocket || !data || length < 0) return -1;
    int received = recv(ToSocket(s), reinterpret_cast<char*>(data), length, 0);
    if (received > 0) return received;
    if (received == 0) return EndedInError(s) ? kRecvFailed : 0;
    return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : kRecvFailed;
}

void PlatSocketShutdown(PlatSocket s) {
    if (s != kNoSocket) shutdown(ToSocket(s), SD_BOTH);
}

void PlatSocketClose(PlatSocket s) {
    if (s == kNoSocket) return;
    closesocket(ToSocket(s));
    // Winsock hands the same handle value out again, so notifications still queued for this
    // socket would pass for the next one's. The agent has one socket at a time: every queued
    // notification is stale now. Only posted messages are looked at, so nothing sent to the
    // thread runs in here.
    MSG stale;
    while (PeekMessageA(&stale, nullptr, kMsgSocketNotify, kMsgSocketNotify,
                        PM_REMOVE | PM_QS_POSTMESSAGE)) {}
}

// ---- Time-bounded exchange ----
// The socket is non-blocking underneath and every wait is a select() with the caller's bound,
// so a server that never accepts, never reads or never answers cannot hold the caller longer.

enum WaitFor { kReadyToRead, kReadyToWrite };

// 1 ready, 0 timed out, -1 failed (a failed connect shows up as an exception).
static int WaitReady(PlatSocket s, WaitFor what, uint32_t timeoutMs) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(ToSocket(s), &ready);
    FD_SET(ToSocket(s), &failed);
    timeval limit;
    limit.tv_sec = static_cast<long>(timeoutMs / 1000);
    limit.tv_usec = static_cast<long>(timeoutMs % 1000) * 1000;
    int n = select(0, what == kReadyToRead ? &ready : nullptr,
                   what == kReadyToWrite ? &ready : nullptr, &failed, &limit);
    if (n < 0 || FD_ISSET(ToSocket(s), &failed)) return -1;
    return n > 0 && FD_ISSET(ToSocket(s), &ready) ? 1 : 0;
}

PlatSocket PlatSocketOpenBlocking() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<PlatSocket>(s);
}

int PlatSocketConnectWait(PlatSocket s, const char* address, int port, uint32_t timeoutMs) {
    sockaddr_in to;
    if (s == kNoSocket || !FillAddress(&to, address, port) || !SetNonBlocking(s, true)) return -1;
    if (connect(ToSocket(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (WaitReady(s, kReadyToWrite, timeoutMs) != 1) return -1;
    int error = 0;
    int size = sizeof error;
    if (getsockopt(ToSocket(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
        return -1;
    return error == 0 ? 0 : -1;
}

int PlatSocketSendWait(PlatSocket s, const uint8_t* data, int length, uint32_t timeoutMs) {
    if (s == kNoSocket || !data || length < 0 || !SetNonBlocking(s, true)) return -1;
    if (WaitReady(s, kReadyToWrite, timeoutMs) != 1) return -1;
    return send(ToSocket(s), reinterpret_cast<const char*>(data), length, 0);
}

int PlatSocketRecvWait(PlatSocket s, uint8_t* data, int length, uint32_t timeoutMs) {
    if (s == kNoSocket || !data || length < 0 || !SetNonBlocking(s, true)) return -1;
    if (WaitReady(s, kReadyToRead, timeoutMs) != 1) return -1;
    return recv(ToSocket(s), reinterpret_cast<char*>(data), length, 0);
}
