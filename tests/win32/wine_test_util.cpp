#include "wine_test_util.h"

#include <cstdio>

#include "platform/win32/messages.h"

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done()) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

std::string UniqueName(const char* stem) {
    static unsigned counter = 0;
    char name[128];
    snprintf(name, sizeof name, "%s-%lu-%lu-%u", stem, GetCurrentProcessId(), GetTickCount(),
             ++counter);
    return name;
}

AgentWindows* AgentWindows::current_ = nullptr;

AgentWindows::AgentWindows() {
    if (!PlatCreateWindow(kWindowLogon) || !PlatCreateWindow(kWindowStats)) return;
    main_ = MainWindowHandle();
    stats_ = StatsWindowHandle();
    current_ = this;
    previous_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(main_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Procedure)));
}

AgentWindows::~AgentWindows() {
    if (main_ && previous_)
        SetWindowLongPtrW(main_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    current_ = nullptr;
    PlatDestroyWindows();
}

LRESULT CALLBACK AgentWindows::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    AgentWindows* self = current_;
    if (self && message == kMsgSocketNotify) {
        self->seen_.push_back({message, wParam, lParam});
        return 0;
    }
    if (!self || !self->previous_) return DefWindowProcW(window, message, wParam, lParam);
    return CallWindowProcW(self->previous_, window, message, wParam, lParam);
}

void EnsureSockets() {
    static bool started = false;
    if (started) return;
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

static sockaddr_in Loopback(int port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    return address;
}

static int BoundPort(SOCKET s) {
    sockaddr_in address = {};
    int size = sizeof address;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

static bool Readable(SOCKET s, DWORD timeoutMs) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval limit = {static_cast<long>(timeoutMs / 1000),
                     static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &ready, nullptr, nullptr, &limit) == 1;
}

LoopbackListener::LoopbackListener(int backlog) {
    EnsureSockets();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return;
    sockaddr_in address = Loopback(0);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, backlog) != 0) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return;
    }
    port_ = BoundPort(listener_);
}

LoopbackListener::~LoopbackListener() {
    for (SOCKET s : accepted_)
        closesocket(s);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

SOCKET LoopbackListener::Accept(DWORD timeoutMs) {
    if (listener_ == INVALID_SOCKET || !Readable(listener_, timeoutMs)) return INVALID_SOCKET;
    SOCKET s = accept(listener_, nullptr, nullptr);
    if (s != INVALID_SOCKET) accepted_.push_back(s);
    return s;
}

int ClosedLoopbackPort() {
    EnsureSockets();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int port = BoundPort(s);
    closesocket(s);
    return port;
}

std::string ReceiveFor(SOCKET s, size_t count, DWORD timeoutMs) {
    std::string got;
    DWORD start = GetTickCount();
    while (got.size() < count) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || !Readable(s, timeoutMs - elapsed)) break;
        char piece[4096];
        int want =
            static_cast<int>(count - got.size() < sizeof piece ? count - got.size() : sizeof piece);
        int n = recv(s, piece, want, 0);
        if (n <= 0) break;
        got.append(piece, static_cast<size_t>(n));
    }
    return got;
}
