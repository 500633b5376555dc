#include "tools/access_server/net_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "core/cp1251.h"
#include "tools/access_server/control.h"
#include "tools/access_server/log_json.h"
#include "tools/access_server/request.h"
#include "tools/common/files.h"

namespace {

const size_t kMaxConnections = 256;
const size_t kMaxControlLine = 65536;
const double kResetPause = 0.1;     // lets the partial reply reach the client before the RST
const double kDrainLimit = 10.0;    // a dropped connection waits this long for the client
const double kWriteAllowance = 10;  // seconds to write a reply, on top of any pacing
const int kMaxPollMs = 250;

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) { stopSignal = signal; }

enum Phase { kReading, kWriting, kResetWait, kSilent, kDraining, kDone };

struct Connection {
    int fd = -1;
    std::string peer;
    Phase phase = kReading;
    double deadline = 0;
    std::string input;
    std::string output;
    size_t sent = 0;
    size_t stopAfter = 0;  // bytes to write before the phase after writing
    int intervalMs = 0;    // > 0: one byte per interval
    double nextWrite = 0;
    bool hardClose = false;
    bool resetAtEnd = false;
    std::string faultName = "none";
};

struct ControlClient {
    int fd = -1;
    std::string input;
    bool done = false;
};

std::string PeerName(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// A control line as UTF-8 for the log even when the tester sent other bytes.
std::string LoggableUtf8(const std::string& raw) {
    std::string bytes, error;
    return Utf8ToCp1251(raw, &bytes, &error) ? raw : Cp1251ToUtf8(raw);
}

int ListenOn(const std::string& address, int port, std::string* error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 16) != 0) {
        *error =
            "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_in where = {};
    socklen_t size = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size);
    return ntohs(where.sin_port);
}

class Server {
  public:
    Server(ServerOptions* options, EVP_PKEY* key, FILE* log)
        : options_(options), state_(&options->state), key_(key), log_(log),
          requestSize_(kRequestFields * BlockSize(key)), start_(std::chrono::steady_clock::now()) {}

    int Run();
    int Listen();

  private:
    double Now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    void Log(const LogLine& line);
    void Accept();
    void ReadRequest(Connection* connection);
    void Respond(Connection* connection);
    void PlanReply(Connection* connection, const FaultSpec& fault);
    void Write(Connection* connection);
    void AfterWriting(Connection* connection);
    void Discard(Connection* connection, const char* event);
    void Finish(Connection* connection, bool reset);
    void Step(Connection* connection, short events);
    void ReadStdin();
    void AcceptControl();
    void ReadControl(ControlClient* client);
    void RunCommand(const std::string& line, const char* source, ControlClient* client);
    void BuildPoll(std::vector<pollfd>* fds, int* timeoutMs);

    ServerOptions* options_;
    ServerState* state_;
    EVP_PKEY* key_;
    FILE* log_;
    size_t requestSize_;
    std::chrono::steady_clock::time_point start_;
    int listenFd_ = -1;
    int controlFd_ = -1;
    bool stdinOpen_ = true;
    std::string stdinBuffer_;
    bool quit_ = false;
    std::list<Connection> connections_;
    std::list<ControlClient> controlClients_;
};

void Server::Log(const LogLine& line) {
    if (!log_) return;
    const std::string text = line.Finish() + "\n";
    fwrite(text.data(), 1, text.size(), log_);
    fflush(log_);
}

void Server::Accept() {
    for (;;) {
        if (connections_.size() >= kMaxConnections) return;
        sockaddr_in peer = {};
        socklen_t size = sizeof peer;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &size,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections_.emplace_back();
        Connection& connection = connections_.back();
        connection.fd = fd;
        connection.peer = PeerName(peer);
        connection.deadline = Now() + options_->readTimeoutMs / 1000.0;
        const FaultSpec fault = TakeFault(&state_->faults, "");
        if (fault.mode == kFaultDrop) {
            // Half-close at once: the client sees an empty reply, and what it still sends is
            // read and thrown away so that closing later does not turn into a reset.
            shutdown(fd, SHUT_WR);
            connection.phase = kDraining;
            connection.deadline = Now() + kDrainLimit;
            Log(LogLine(Now())
                    .Utf8("peer", connection.peer)
                    .Utf8("event", "dropped")
                    .Utf8("fault", FaultName(fault)));
        }
    }
}

void Server::ReadRequest(Connection* connection) {
    char chunk[4096];
    const size_t wanted = std::min(sizeof chunk, requestSize_ - connection->input.size());
    const ssize_t count = recv(connection->fd, chunk, wanted, 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (count <= 0) {
        const std::string why = count == 0 ? "the client closed" : strerror(errno);
        Log(LogLine(Now())
                .Utf8("peer", connection->peer)
                .Utf8("error", "short request: " + std::to_string(connection->input.size()) +
                                   " of " + std::to_string(requestSize_) + " bytes before " + why)
                .Number("bytes", static_cast<long long>(connection->input.size())));
        Finish(connection, false);
        return;
    }
    connection->input.append(chunk, static_cast<size_t>(count));
    if (connection->input.size() == requestSize_) Respond(connection);
}

void Server::Respond(Connection* connection) {
    Request request;
    std::string error;
    if (!ParseRequest(reinterpret_cast<const uint8_t*>(connection->input.data()),
                      connection->input.size(), key_, &request, &error)) {
        Log(LogLine(Now())
                .Utf8("peer", connection->peer)
                .Utf8("error", error)
                .Number("bytes", static_cast<long long>(connection->input.size())));
        Finish(connection, false);
        return;
    }
    const FaultSpec fault = TakeFault(&state_->faults, request.fields[0]);
    const Answer answer = AnswerRequest(state_, request, Now());
    connection->faultName = FaultName(fault);
    LogLine line(Now());
    line.Utf8("peer", connection->peer)
        .Text("verb", request.fields[0])
        .TextList("fields", request.fields, kRequestFields)
        .Utf8("block3_hex", HexBytes(request.block3))
        .Text("reply", answer.reply)
        .Utf8("fault", connection->faultName);
    if (request.fields[0] == "LOGON") line.Flag("block3_seen", answer.block3Seen);
    if (answer.fixed) line.Flag("fixed", true);
    Log(line);

    connection->output = answer.reply;
    PlanReply(connection, fault);
}

// How the reply goes out under the fault this request drew.
void Server::PlanReply(Connection* connection, const FaultSpec& fault) {
    connection->stopAfter = connection->output.size();
    switch (fault.mode) {
        case kFaultSilent: connection->phase = kSilent; return;
        case kFaultDrop: Finish(connection, false); return;
        case kFaultOversize:
            connection->output.resize(static_cast<size_t>(fault.amount), '.');
            connection->stopAfter = connection->output.size();
            break;
        case kFaultSplit:
        case kFaultSlow: connection->intervalMs = std::max(1, fault.amount); break;
        case kFaultClose: connection->hardClose = true; break;
        case kFaultReset:
            connection->resetAtEnd = true;
            connection->stopAfter = connection->output.size() / 2;
            if (connection->stopAfter == 0 && !connection->output.empty()) {
                connection->stopAfter = 1;
            }
            break;
        default: break;
    }
    connection->phase = kWriting;
    connection->nextWrite = Now();
    connection->deadline =
        Now() + kWriteAllowance + connection->intervalMs / 1000.0 * connection->output.size();
    Write(connection);
}

void Server::Write(Connection* connection) {
    while (connection->sent < connection->stopAfter) {
        const double now = Now();
        if (connection->intervalMs > 0 && now < connection->nextWrite) return;
        const size_t length =
            connection->intervalMs > 0 ? 1 : connection->stopAfter - connection->sent;
        const ssize_t count = send(connection->fd, connection->output.data() + connection->sent,
                                   length, MSG_NOSIGNAL);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (count <= 0) {
            Log(LogLine(now)
                    .Utf8("peer", connection->peer)
                    .Utf8("error", std::string("send failed: ") + strerror(errno))
                    .Utf8("fault", connection->faultName));
            Finish(connection, false);
            return;
        }
        connection->sent += static_cast<size_t>(count);
        connection->nextWrite = now + connection->intervalMs / 1000.0;
    }
    AfterWriting(connection);
}

void Server::AfterWriting(Connection* connection) {
    if (connection->resetAtEnd) {
        connection->phase = kResetWait;
        connection->deadline = Now() + kResetPause;
        return;
    }
    if (connection->hardClose) shutdown(connection->fd, SHUT_RDWR);
    Finish(connection, false);
}

// Reads and throws away until the client closes (silent and dropped connections).
void Server::Discard(Connection* connection, const char* event) {
    char chunk[4096];
    const ssize_t count = recv(connection->fd, chunk, sizeof chunk, 0);
    if (count > 0 || (count < 0 && (errno == EAGAIN || errno == EINTR))) return;
    Log(LogLine(Now())
            .Utf8("peer", connection->peer)
            .Utf8("event", event)
            .Utf8("fault", connection->faultName));
    Finish(connection, false);
}

void Server::Finish(Connection* connection, bool reset) {
    if (reset) {
        const linger abortive = {1, 0};
        setsockopt(connection->fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    close(connection->fd);
    connection->fd = -1;
    connection->phase = kDone;
}

void Server::Step(Connection* connection, short events) {
    const double now = Now();
    switch (connection->phase) {
        case kReading:
            if (events & (POLLIN | POLLHUP | POLLERR)) {
                ReadRequest(connection);
            } else if (now >= connection->deadline) {
                Log(LogLine(now)
                        .Utf8("peer", connection->peer)
                        .Utf8("error", "read timeout: " + std::to_string(connection->input.size()) +
                                           " of " + std::to_string(requestSize_) + " bytes")
                        .Number("bytes", static_cast<long long>(connection->input.size())));
                Finish(connection, false);
            }
            break;
        case kWriting:
            if (now >= connection->deadline) {
                Log(LogLine(now)
                        .Utf8("peer", connection->peer)
                        .Utf8("error", "write timeout")
                        .Utf8("fault", connection->faultName));
                Finish(connection, false);
            } else if ((events & (POLLOUT | POLLERR | POLLHUP)) ||
                       (connection->intervalMs > 0 && now >= connection->nextWrite)) {
                Write(connection);
            }
            break;
        case kResetWait:
            if (now >= connection->deadline) Finish(connection, true);
            break;
        case kSilent:
            if (events & (POLLIN | POLLHUP | POLLERR)) Discard(connection, "client closed");
            break;
        case kDraining:
            if (events & (POLLIN | POLLHUP | POLLERR)) {
                Discard(connection, "client closed");
            } else if (now >= connection->deadline) {
                Finish(connection, false);
            }
            break;
        case kDone: break;
    }
}

void Server::RunCommand(const std::string& line, const char* source, ControlClient* client) {
    std::string detail;
    const ControlResult result = ApplyControlCommand(state_, line, &detail);
    Log(LogLine(Now())
            .Utf8("control", LoggableUtf8(line))
            .Utf8("source", source)
            .Utf8("result", result == kControlError ? "error" : "ok")
            .Utf8("detail", LoggableUtf8(detail)));
    if (client) {
        const std::string answer =
            std::string(result == kControlError ? "error " : "ok ") + detail + "\n";
        send(client->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (result == kControlQuit) quit_ = true;
}

// Complete lines from `buffer` to RunCommand; an endless line is dropped rather than stored.
template <typename Handler> void TakeLines(std::string* buffer, Handler handle) {
    size_t end;
    while ((end = buffer->find('\n')) != std::string::npos) {
        const std::string line = buffer->substr(0, end);
        buffer->erase(0, end + 1);
        if (!line.empty() && line != "\r") handle(line);
    }
    if (buffer->size() > kMaxControlLine) buffer->clear();
}

void Server::ReadStdin() {
    char chunk[4096];
    const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (count <= 0) {
        // The end of standard input is not a quit: tests often close it.
        stdinOpen_ = false;
        if (!stdinBuffer_.empty()) RunCommand(stdinBuffer_, "stdin", nullptr);
        stdinBuffer_.clear();
        return;
    }
    stdinBuffer_.append(chunk, static_cast<size_t>(count));
    TakeLines(&stdinBuffer_, [this](const std::string& line) {
        if (!quit_) RunCommand(line, "stdin", nullptr);
    });
}

void Server::AcceptControl() {
    const int fd = accept4(controlFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (controlClients_.size() >= 16) {
        close(fd);
        return;
    }
    controlClients_.emplace_back();
    controlClients_.back().fd = fd;
}

void Server::ReadControl(ControlClient* client) {
    char chunk[4096];
    const ssize_t count = recv(client->fd, chunk, sizeof chunk, 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (count <= 0) {
        client->done = true;
        return;
    }
    client->input.append(chunk, static_cast<size_t>(count));
    TakeLines(&client->input, [this, client](const std::string& line) {
        if (!quit_) RunCommand(line, "control-port", client);
    });
}

void Server::BuildPoll(std::vector<pollfd>* fds, int* timeoutMs) {
    fds->clear();
    const double now = Now();
    double wake = now + kMaxPollMs / 1000.0;
    if (stdinOpen_) fds->push_back({STDIN_FILENO, POLLIN, 0});
    const bool accepting =
        state_->faults.fault.mode != kFaultNoAccept && connections_.size() < kMaxConnections;
    fds->push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    if (controlFd_ >= 0) fds->push_back({controlFd_, POLLIN, 0});
    for (const ControlClient& client : controlClients_)
        fds->push_back({client.fd, POLLIN, 0});
    for (const Connection& connection : connections_) {
        short events = POLLIN;
        if (connection.phase == kWriting) {
            const bool due = connection.intervalMs == 0 || connection.nextWrite <= now;
            events = due ? POLLOUT : 0;
            if (!due) wake = std::min(wake, connection.nextWrite);
        } else if (connection.phase == kResetWait) {
            events = 0;
        }
        if (connection.phase != kSilent) wake = std::min(wake, connection.deadline);
        fds->push_back({connection.fd, events, 0});
    }
    *timeoutMs = std::max(0, static_cast<int>((wake - now) * 1000) + 1);
}

// Opens the listener and the control port and announces the port; 0, or the exit code.
int Server::Listen() {
    std::string error;
    const std::string& address = options_->bindAddress;
    if (address.compare(0, 4, "127.") != 0 && !options_->allowRemote) {
        fprintf(stderr, "vorna_access_server: refusing to listen on %s without --allow-remote\n",
                address.c_str());
        return 1;
    }
    listenFd_ = ListenOn(address, options_->port, &error);
    if (listenFd_ < 0) {
        fprintf(stderr, "vorna_access_server: %s\n", error.c_str());
        return 2;
    }
    if (options_->controlPort > 0) {
        controlFd_ = ListenOn("127.0.0.1", options_->controlPort, &error);
        if (controlFd_ < 0) {
            fprintf(stderr, "vorna_access_server: control port: %s\n", error.c_str());
            return 2;
        }
    }
    const int port = BoundPort(listenFd_);
    if (!options_->portFile.empty() &&
        !WriteFileAtomically(options_->portFile, std::to_string(port) + "\n", &error)) {
        fprintf(stderr, "vorna_access_server: %s\n", error.c_str());
        return 2;
    }
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("listening %s:%d\n", address.c_str(), port);
    fflush(stdout);
    Log(LogLine(Now())
            .Utf8("event", "start")
            .Number("port", port)
            .Number("key_bits", EVP_PKEY_bits(key_))
            .Utf8("fault", FaultName(state_->faults.fault)));
    return 0;
}

int Server::Run() {
    const int failure = Listen();
    if (failure) return failure;
    std::vector<pollfd> fds;
    while (!quit_ && !stopSignal) {
        int timeoutMs = 0;
        BuildPoll(&fds, &timeoutMs);
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
        size_t index = 0;
        if (stdinOpen_ && fds[index++].revents) ReadStdin();
        if (fds[index++].revents & POLLIN) Accept();
        if (controlFd_ >= 0 && (fds[index++].revents & POLLIN)) AcceptControl();
        for (ControlClient& client : controlClients_) {
            if (fds[index++].revents) ReadControl(&client);
        }
        for (Connection& connection : connections_) {
            // Connections accepted during this round have no entry in `fds` yet.
            if (index < fds.size() && fds[index].fd == connection.fd) {
                Step(&connection, fds[index++].revents);
            } else {
                Step(&connection, 0);
            }
        }
        connections_.remove_if([](const Connection& c) { return c.phase == kDone; });
        controlClients_.remove_if([](const ControlClient& client) {
            if (client.done) close(client.fd);
            return client.done;
        });
    }
    const char* reason = quit_ ? "quit" : stopSignal == SIGINT ? "SIGINT" : "SIGTERM";
    Log(LogLine(Now()).Utf8("event", "stop").Utf8("reason", reason));
    for (Connection& connection : connections_)
        close(connection.fd);
    for (ControlClient& client : controlClients_)
        close(client.fd);
    if (controlFd_ >= 0) close(controlFd_);
    close(listenFd_);
    return 0;
}

}  // namespace

int RunServer(ServerOptions* options, EVP_PKEY* key, FILE* log) {
    Server server(options, key, log);
    return server.Run();
}
