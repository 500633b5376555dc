// Non-blocking sockets in the poll loop with the event contract the engine relies on: one
// connect event carrying the outcome, a write event once the socket can take data (again after
// a send that would block), read events while data or the end is there, and a close event (with
// the error when the connection was reset). Time-bounded blocking calls for the logoff at exit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/events.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

const int kSocketSlots = 8;

struct Socket {
    int fd;    // -1: free slot
    int wait;  // SocketWait, or -1 before the first
    bool connecting;
    bool connectPending;  // the connect finished at once: its event is delivered next round
    int connectError;
    bool writeArmed;
    bool closeSent;
};

// The router's WAN line for this account: every connection leaves through it or not at all.
std::string gDevice;

// 0, or the error that kept the socket off the device (said once per failure on stderr: under
// procd it reaches the system log).
int BindDevice(int fd) {
    if (gDevice.empty()) return 0;
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, gDevice.c_str(),
                   static_cast<socklen_t>(gDevice.size())) == 0)
        return 0;
    int error = errno;
    PosixReportError("VornaAgent: the connection cannot be bound to the device " + gDevice + ": " +
                     strerror(error));
    return error;
}

// Free slots have fd -1; the first PlatSocketOpen makes them so.
Socket gSockets[kSocketSlots];
bool gSlotsReady = false;

Socket* Find(int fd) {
    if (fd < 0) return nullptr;
    for (Socket& s : gSockets)
        if (s.fd == fd) return &s;
    return nullptr;
}

bool FillAddress(sockaddr_in* to, const char* address, int port) {
    if (!address || port < 0 || port > 65535) return false;
    memset(to, 0, sizeof *to);
    to->sin_family = AF_INET;
    if (inet_pton(AF_INET, address, &to->sin_addr) != 1) return false;
    to->sin_port = htons(static_cast<uint16_t>(port));
    return true;
}

int PendingError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

PlatNetError ClassifyNetError(int error) {
    switch (error) {
        case 0: return kNetOk;
        case ENETUNREACH:
        case ENETDOWN: return kNetUnreachable;
        case EHOSTUNREACH:
        case EHOSTDOWN: return kNetHostUnreachable;
        case ECONNREFUSED: return kNetRefused;
        case ECONNRESET:
        case ECONNABORTED:
        case ENETRESET:
        case EPIPE: return kNetReset;
        case ETIMEDOUT: return kNetTimedOut;
        default: return kNetOther;
    }
}

// Hands one event to the engine; false when the socket is gone afterwards.
bool Deliver(int fd, PlatSocketEvent event, int error) {
    OnSocketEvent(static_cast<PlatSocket>(fd), event, ClassifyNetError(error));
    return Find(fd) != nullptr;
}

short WantSocket(int fd) {
    const Socket* s = Find(fd);
    if (!s || s->connectPending) return 0;
    if (s->connecting) return POLLOUT;
    short events = 0;
    if (s->wait == kWaitRead) events |= POLLIN;
    if (s->wait == kWaitWrite && s->writeArmed) events |= POLLOUT;
    if (s->wait >= 0 && !s->closeSent) events |= POLLRDHUP;
    return events;
}

void SocketReady(int fd, short revents) {
    Socket* s = Find(fd);
    if (!s) return;
    if (s->connecting) {
        s->connecting = false;
        int error = PendingError(fd);
        if (s->wait == kWaitConnect) Deliver(fd, kSocketConnected, error);
        return;
    }
    if (revents & POLLERR) {
        int error = PendingError(fd);
        if (s->wait >= 0 && !s->closeSent) {
            s->closeSent = true;
            Deliver(fd, kSocketClosed, error != 0 ? error : ECONNRESET);
        }
        return;
    }
    if ((revents & (POLLIN | POLLHUP)) && s->wait == kWaitRead) {
        if (!Deliver(fd, kSocketReadable, 0)) return;
        s = Find(fd);
    } else if ((revents & (POLLRDHUP | POLLHUP)) && s->wait >= 0 && !s->closeSent) {
        s->closeSent = true;
        if (!Deliver(fd, kSocketClosed, 0)) return;
        s = Find(fd);
    }
    if (s && (revents & POLLOUT) && s->writeArmed && s->wait == kWaitWrite) {
        s->writeArmed = false;
        Deliver(fd, kSocketWritable, 0);
    }
}

bool SetNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0;
}

bool SocketsHavePending() {
    for (const Socket& s : gSockets)
        if (s.fd >= 0 && s.connectPending) return true;
    return false;
}

void SocketsDeliverPending() {
    for (Socket& s : gSockets) {
        if (s.fd < 0 || !s.connectPending) continue;
        s.connectPending = false;
        if (s.wait == kWaitConnect) Deliver(s.fd, kSocketConnected, s.connectError);
    }
}

}  // namespace

void PosixBindToDevice(const std::string& name) { gDevice = name; }
const std::string& PosixBoundDevice() { return gDevice; }

// Nothing to start here.
PlatSocketsStart PlatSocketsStartup() { return kSocketsReady; }

PlatSocket PlatSocketOpen() {
    // The first socket readies the slots and joins the loop (for connects that end at once).
    if (!gSlotsReady) {
        for (Socket& s : gSockets)
            s.fd = -1;
        gSlotsReady = PosixAddRoundHooks(
            {SocketsHavePending, SocketsDeliverPending, nullptr, nullptr, nullptr});
    }
    Socket* slot = nullptr;
    for (Socket& s : gSockets)
        if (s.fd < 0) slot = &s;
    if (!slot) return kNoSocket;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    if (!PosixWatchAdd({fd, WantSocket, SocketReady})) {
        close(fd);
        return kNoSocket;
    }
    *slot = {fd, -1, false, false, 0, false, false};
    return static_cast<PlatSocket>(fd);
}

void PlatSocketWait(PlatSocket handle, SocketWait what) {
    Socket* s = Find(static_cast<int>(handle));
    if (!s) return;
    // Waiting to write on a connected socket reports it writable at once.
    if (what == kWaitWrite && s->wait != kWaitWrite) s->writeArmed = true;
    s->wait = what;
}

void PlatSocketConnect(PlatSocket handle, const char* address, int port) {
    Socket* s = Find(static_cast<int>(handle));
    sockaddr_in to;
    if (!s) return;
    int error = FillAddress(&to, address, port) ? BindDevice(s->fd) : EINVAL;
    if (error == 0 && connect(s->fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (errno == EINPROGRESS) {
            s->connecting = true;
            return;
        }
        error = errno;
    }
    s->connectPending = true;
    s->connectError = error;
    PosixWakeSoon();
}

int PlatSocketSend(PlatSocket handle, const uint8_t* data, int length) {
    Socket* s = Find(static_cast<int>(handle));
    if (!s || !data || length < 0) return -1;
    ssize_t sent = send(s->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        s->writeArmed = true;  // a write event follows once the socket takes data again
        return kSendWouldBlock;
    }
    return static_cast<int>(sent);
}

int PlatSocketRecv(PlatSocket handle, uint8_t* data, int length) {
    if (handle == kNoSocket || !data || length < 0) return -1;
    ssize_t received = recv(static_cast<int>(handle), data, static_cast<size_t>(length), 0);
    if (received >= 0) return static_cast<int>(received);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
    return kRecvFailed;  // a reset or an abort: never taken for the end of a reply
}

void PlatSocketShutdown(PlatSocket handle) {
    if (handle != kNoSocket) shutdown(static_cast<int>(handle), SHUT_RDWR);
}

void PlatSocketClose(PlatSocket handle) {
    if (handle == kNoSocket) return;
    int fd = static_cast<int>(handle);
    // The descriptor number comes back with the next socket: every trace of this one goes now.
    Socket* s = Find(fd);
    if (s) {
        s->fd = -1;
        PosixWatchRemove(fd);
    }
    close(fd);
}

// ---- Time-bounded exchange ----

namespace {

// 1 ready, 0 timed out, -1 failed.
int WaitReady(int fd, short events, uint32_t timeoutMs) {
    pollfd one = {fd, events, 0};
    int timeout = timeoutMs > 0x7fffffff ? 0x7fffffff : static_cast<int>(timeoutMs);
    int n;
    do {
        n = poll(&one, 1, timeout);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (n == 0) return 0;
    if ((one.revents & POLLERR) && !(one.revents & events)) return -1;
    return 1;
}

}  // namespace

PlatSocket PlatSocketOpenBlocking() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : static_cast<PlatSocket>(fd);
}

int PlatSocketConnectWait(PlatSocket handle, const char* address, int port, uint32_t timeoutMs) {
    int fd = static_cast<int>(handle);
    sockaddr_in to;
    if (handle == kNoSocket || !FillAddress(&to, address, port) || !SetNonBlocking(fd, true) ||
        BindDevice(fd) != 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    if (errno != EINPROGRESS) return -1;
    if (WaitReady(fd, POLLOUT, timeoutMs) != 1) return -1;
    return PendingError(fd) == 0 ? 0 : -1;
}

int PlatSocketSendWait(PlatSocket handle, const uint8_t* data, int length, uint32_t timeoutMs) {
    int fd = static_cast<int>(handle);
    if (handle == kNoSocket || !data || length < 0 || !SetNonBlocking(fd, true)) return -1;
    if (WaitReady(fd, POLLOUT, timeoutMs) != 1) return -1;
    return static_cast<int>(send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int PlatSocketRecvWait(PlatSocket handle, uint8_t* data, int length, uint32_t timeoutMs) {
    int fd = static_cast<int>(handle);
    if (handle == kNoSocket || !data || length < 0 || !SetNonBlocking(fd, true)) return -1;
    if (WaitReady(fd, POLLIN, timeoutMs) != 1) return -1;
    return static_cast<int>(recv(fd, data, static_cast<size_t>(length), 0));
}
