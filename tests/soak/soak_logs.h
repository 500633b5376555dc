// What the soak driver reads from outside the agent: the access server's JSON log, the agent's
// debug output (a file it appends to, or a FIFO), and the server's control port.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <winsock2.h>

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/driver/driver_support.h"

// Debug lines of the agent that mark a request's course.
const char kReceivedPrefix[] = "Полученные данные: ";
const char kNetworkErrorPrefix[] = "Сетевая ошибка, причина: ";
const char kAttemptLine[] = "Попытка соединения...";
const char kHoverLine[] = "Получение статистики, вне очередной 'PING'";

std::string FirstLine(const std::string& text);
// The agent writes the control characters of its debug lines as \xNN; these are put back.
std::string UnescapeControls(const std::string& text);
bool StartsWith(const std::string& text, const char* prefix);
bool JsonField(const std::string& line, const char* key, std::string* out);
bool JsonList(const std::string& line, const char* key, std::vector<std::string>* out);

// ---- Output another process writes: a file it appends to, or a FIFO ----

// A file is read as far as it has been written at each Poll. A FIFO is read by a thread that
// blocks in ReadFile and wakes the caller through WaitForData, so waiting on the agent costs
// no polling (the benchmark times requests this way).
class Tail {
  public:
    bool Open(const std::string& path) {
        file_ = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) return false;
        if (GetFileType(file_) != FILE_TYPE_PIPE) return true;
        InitializeCriticalSection(&lock_);
        data_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        return data_ && CreateThread(nullptr, 0, ReadStream, this, 0, nullptr);
    }
    bool streaming() const { return data_ != nullptr; }
    // Appends the complete lines written since the last call; a partial line waits.
    void Poll(std::vector<std::string>* lines) {
        if (streaming()) {
            EnterCriticalSection(&lock_);
            Split(lines);
            LeaveCriticalSection(&lock_);
            return;
        }
        char chunk[16384];
        DWORD got = 0;
        while (ReadFile(file_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            pending_.append(chunk, got);
        }
        Split(lines);
    }
    // Returns when the stream has delivered something, or after `ms`.
    void WaitForData(DWORD ms) { WaitForSingleObject(data_, ms); }

  private:
    void Split(std::vector<std::string>* lines) {
        size_t start = 0, end;
        while ((end = pending_.find('\n', start)) != std::string::npos) {
            lines->push_back(pending_.substr(start, end - start));
            start = end + 1;
        }
        pending_.erase(0, start);
    }
    static DWORD WINAPI ReadStream(void* param) {
        Tail* self = static_cast<Tail*>(param);
        char chunk[16384];
        DWORD got = 0;
        while (ReadFile(self->file_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            EnterCriticalSection(&self->lock_);
            self->pending_.append(chunk, got);
            LeaveCriticalSection(&self->lock_);
            SetEvent(self->data_);
        }
        return 0;
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE data_ = nullptr;
    CRITICAL_SECTION lock_;
    std::string pending_;
};

// ---- The access server's log ----

struct Request {
    std::string verb;
    std::vector<std::string> fields;
    std::string reply;
    std::string fault;
};

struct ServerLog {
    Tail tail;
    std::vector<Request> requests;
    std::map<std::string, int> byVerb;
    int clientClosed = 0;

    void Update() {
        std::vector<std::string> lines;
        tail.Poll(&lines);
        for (const std::string& line : lines) {
            Request r;
            std::string event;
            if (JsonField(line, "verb", &r.verb)) {
                JsonList(line, "fields", &r.fields);
                JsonField(line, "reply", &r.reply);
                JsonField(line, "fault", &r.fault);
                byVerb[r.verb]++;
                requests.push_back(r);
            } else if (JsonField(line, "event", &event) && event == "client closed") {
                clientClosed++;
            }
        }
    }
    int Count(const char* verb) const {
        auto it = byVerb.find(verb);
        return it == byVerb.end() ? 0 : it->second;
    }
    // The latest request of `verb`; only valid while Count(verb) > 0.
    const Request& Last(const char* verb) const {
        for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
            if (it->verb == verb) return *it;
        }
        return requests.back();
    }
};

// ---- The agent's debug output (OEM code page 866) ----

// One request as the agent saw it: every request starts with the connection-attempt line, so
// the n-th attempt pairs with the n-th request in the server's log.
struct Attempt {
    bool hover = false;     // sent as the out-of-turn PING of a tray hover
    bool received = false;  // a reply was handed over (its first line in `reply`)
    std::string reply;
    std::string error;  // the network error that ended it, if any
};

struct AgentOutput {
    Tail tail;
    std::vector<Attempt> attempts;
    int networkErrors = 0;
    bool hoverPending = false;

    void Update() {
        std::vector<std::string> lines;
        tail.Poll(&lines);
        for (const std::string& raw : lines)
            Take(Convert(raw, 866, CP_UTF8));
    }
    // A reply's line feeds are escaped in the debug line; its first line is what is compared.
    void Take(const std::string& debugLine) {
        const std::string line = FirstLine(UnescapeControls(debugLine));
        if (line == kHoverLine) {
            hoverPending = true;  // written just before the attempt it starts
        } else if (line == kAttemptLine) {
            attempts.emplace_back();
            attempts.back().hover = hoverPending;
            hoverPending = false;
        } else if (attempts.empty()) {
            return;
        } else if (StartsWith(line, kReceivedPrefix)) {
            attempts.back().received = true;
            attempts.back().reply = line.substr(strlen(kReceivedPrefix));
        } else if (StartsWith(line, kNetworkErrorPrefix)) {
            networkErrors++;
            attempts.back().error = line.substr(strlen(kNetworkErrorPrefix));
        }
    }
    // Finished: handed over, failed, or followed by another attempt (timeouts print nothing).
    bool Finished(size_t i) const {
        return i < attempts.size() &&
               (attempts[i].received || !attempts[i].error.empty() || i + 1 < attempts.size());
    }
};

// ---- The server's control port ----

class ControlLink {
  public:
    bool Connect(int port) {
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) return false;
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        to.sin_port = htons(static_cast<u_short>(port));
        DWORD limit = 5000;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                   sizeof limit);
        return connect(socket_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }
    // Sends one command; true when the server answered "ok ...".
    bool Command(const std::string& command, std::string* answer) {
        std::string line = command + "\n";
        if (send(socket_, line.data(), (int)line.size(), 0) != (int)line.size()) return false;
        answer->clear();
        char c;
        while (recv(socket_, &c, 1, 0) == 1 && c != '\n')
            *answer += c;
        return StartsWith(*answer, "ok");
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
};

// The driver's own parsing of the server's log and the agent's output; true when it holds.
bool SoakSelfTest();
