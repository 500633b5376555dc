// The control socket: a UNIX stream socket in the runtime folder, mode 0600, for the same user
// only. One request line per connection (UTF-8, tab-separated, at most 1 KiB), one answer: the
// exit code on the first line, then the text. Nothing a client does can block the agent: the
// request must arrive within a few seconds, clients beyond a few are turned away, an answer the
// client does not take is dropped.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/remote.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

const int kMaxClients = 8;

struct Client {
    int fd;  // -1: free
    ControlClient control;
};

int gListener = -1;
std::string gPath;
Client gClients[kMaxClients];

Client* FindClient(int fd) {
    for (Client& c : gClients)
        if (c.fd == fd && fd >= 0) return &c;
    return nullptr;
}

void SendAndClose(int fd, const std::string& reply) {
    // One try, never waiting: a client that cannot take a few kilobytes loses its answer.
    ssize_t ignored = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    // Closing with unread input would reset the connection and lose the answer: what has come
    // already is read away (a bounded amount, without waiting).
    char scratch[4096];
    for (int i = 0; i < 16 && recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; i++) {}
    PosixWatchRemove(fd);
    close(fd);
}

void Finish(Client* client) {
    SendAndClose(client->fd, ControlReply(client->control));
    client->fd = -1;
}

short WantClient(int fd) {
    Client* client = FindClient(fd);
    char* at = nullptr;
    return client && ControlRoom(&client->control, &at) > 0 ? POLLIN : 0;
}

void ClientReady(int fd, short) {
    Client* client = FindClient(fd);
    char* at = nullptr;
    size_t room = client ? ControlRoom(&client->control, &at) : 0;
    if (room == 0) return;
    ssize_t n = recv(fd, at, room, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        PosixWatchRemove(fd);
        close(fd);
        client->fd = -1;
    } else if (ControlReceived(&client->control, static_cast<size_t>(n))) {
        Finish(client);
    }
}

bool SameUser(int fd) {
    ucred peer;
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

short WantListener(int) { return POLLIN; }

void ListenerReady(int fd, short) {
    // A few at a time, so that a flood cannot keep the loop here.
    for (int i = 0; i < kMaxClients; i++) {
        int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) return;
        if (!SameUser(client)) {
            close(client);
            continue;
        }
        Client* slot = FindClient(-1);
        for (Client& c : gClients)
            if (c.fd < 0 && !slot) slot = &c;
        if (!slot || !PosixWatchAdd({client, WantClient, ClientReady})) {
            SendAndClose(client,
                         std::to_string(kExitFailed) + "\nthe agent is busy with other clients\n");
            continue;
        }
        slot->fd = client;
        ControlOpen(&slot->control, PlatNowMs());
    }
}

void ControlAfterRound() {
    uint32_t now = PlatNowMs();
    for (Client& c : gClients) {
        if (c.fd < 0) continue;
        if (ControlCheck(&c.control, now, PosixQuitPosted())) {
            Finish(&c);
        } else if (!c.control.waiting) {
            // A client that is not done wakes the loop in time for its deadline.
            PosixWakeAt(PosixMonotonicMs() + (c.control.deadline - now));
        }
    }
}

void ControlStop(int exitCode) {
    for (Client& c : gClients) {
        if (c.fd < 0) continue;
        ControlExit(&c.control, exitCode);
        Finish(&c);
    }
    if (gListener >= 0) {
        PosixWatchRemove(gListener);
        close(gListener);
        gListener = -1;
        unlink(gPath.c_str());
    }
}

}  // namespace

bool PosixControlStart() {
    for (Client& c : gClients)
        c.fd = -1;
    gPath = PosixControlSocketPath();
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (gPath.size() >= sizeof address.sun_path) return false;
    memcpy(address.sun_path, gPath.c_str(), gPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // The instance lock is held: a socket file left there is a dead agent's.
    unlink(gPath.c_str());
    mode_t previous = umask(0177);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    umask(previous);
    if (ok) ok = chmod(gPath.c_str(), 0600) == 0 && listen(fd, 16) == 0;
    if (!ok || !PosixWatchAdd({fd, WantListener, ListenerReady})) {
        close(fd);
        PosixReportError("VornaAgent: the control socket " + gPath + " could not be opened");
        return false;
    }
    gListener = fd;
    return PosixAddRoundHooks({nullptr, nullptr, nullptr, ControlAfterRound, ControlStop});
}
