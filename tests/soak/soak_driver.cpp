// soak_driver: drives a running VornaAgent.exe through thousands of request cycles from inside
// one Wine process, the way a user and Windows would: commands, timer ticks and tray callbacks
// posted to its main window. It follows the access server's JSON log and the agent's debug
// output to know when each request reached the server and when the agent finished with it,
// injects server faults through the control port, and samples the agent's handles and memory
// from outside the process.
//
//   soak_driver soak  --agent-exe Z:\..\VornaAgent.exe --server-log Z:\..\server.log
//                     --agent-out Z:\..\agent.out --control-port N --unix-pid N --cycles N
//                     [--sample-every N] [--fault-every N] [--deadline SECONDS]
//   soak_driver bench --agent-exe ... --server-log ... --agent-out ... --requests N
//   soak_driver self-test   (its own parsing of the server's log and the agent's output)
//
// soak and bench end by choosing Exit in the agent. --agent-out may be the file the agent's
// standard output goes to, or a FIFO it writes to (the driver then blocks on the agent's lines
// instead of polling for them).
//
// Output: one "key=value ..." record per line (sample, fault, bench, result). Exit code 0 when
// every cycle went as expected, 1 on the first failure (its reason in the result line), 2 usage.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <winsock2.h>

#include <windows.h>

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/events.h"
#include "bench/request_timings.h"
#include "core/timings.h"
#include "platform/win32/messages.h"
#include "res/resource_ids.h"
#include "tests/e2e/driver/driver_support.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

const char kLogonCaption[] = "Подключение к Интернет";
const char kStatsCaption[] = "Текущее состояние пользователя";
const char kReceivedPrefix[] = "Полученные данные: ";
const char kNetworkErrorPrefix[] = "Сетевая ошибка, причина: ";
const char kAttemptLine[] = "Попытка соединения...";
const char kHoverLine[] = "Получение статистики, вне очередной 'PING'";

// A command the agent ignores while busy is posted again after this long.
const DWORD kRepostMs = 200;
// Longest a request may take: the agent's own request timeout is 3.5 s.
const DWORD kRequestDeadlineMs = 8000;
// The agent sends at most one hover PING per 5 s.
const DWORD kHoverSpacingMs = 5300;

// ---- Text ----

std::wstring WideFrom(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), &wide[0], n);
    return wide;
}

std::string Utf8From(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// The server log holds UTF-8 strings with \" \\ \n \r \t and \u00XX escapes only.
bool ReadJsonString(const std::string& line, size_t* at, std::string* out) {
    size_t i = *at;
    if (i >= line.size() || line[i] != '"') return false;
    out->clear();
    for (++i; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            *at = i + 1;
            return true;
        }
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= line.size()) return false;
        switch (line[i]) {
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (i + 4 >= line.size()) return false;
                const std::string digits = line.substr(i + 1, 4);
                if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    return false;
                }
                *out += static_cast<char>(strtol(digits.c_str(), nullptr, 16));
                i += 4;
                break;
            }
            default: *out += line[i]; break;
        }
    }
    return false;
}

// Finds `"key": ` and returns the position of the value after it, or npos.
size_t JsonValueAt(const std::string& line, const char* key) {
    std::string pattern = std::string("\"") + key + "\": ";
    size_t at = line.find(pattern);
    return at == std::string::npos ? at : at + pattern.size();
}

bool JsonField(const std::string& line, const char* key, std::string* out) {
    size_t at = JsonValueAt(line, key);
    return at != std::string::npos && ReadJsonString(line, &at, out);
}

bool JsonList(const std::string& line, const char* key, std::vector<std::string>* out) {
    size_t at = JsonValueAt(line, key);
    if (at == std::string::npos || line[at] != '[') return false;
    out->clear();
    ++at;
    while (at < line.size() && line[at] != ']') {
        std::string item;
        if (!ReadJsonString(line, &at, &item)) return false;
        out->push_back(item);
        while (at < line.size() && (line[at] == ',' || line[at] == ' '))
            ++at;
    }
    return at < line.size();
}

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
            Take(FirstLine(Utf8From(WideFrom(raw, 866))));
    }
    void Take(const std::string& line) {
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

// ---- Measuring the agent from outside ----

struct Sample {
    DWORD handles = 0;
    SIZE_T workingSet = 0, privateBytes = 0;
    long rssKb = -1, anonKb = -1, vmSizeKb = -1, threads = -1, fds = -1;  // Linux view
};

const SYSTEM_INFORMATION_CLASS kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// One entry of the system handle table (the 32-bit layout; owner ids fit in 16 bits).
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};

// Wine answers GetProcessHandleCount with 0; the system handle table is exact on both.
DWORD CountHandles(HANDLE process, DWORD pid) {
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0) return count;
    static std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                              (ULONG)buffer.size(), &needed)) ==
               kInfoLengthMismatch &&
           buffer.size() < (64u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const HandleEntry* entry = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(PVOID));
    for (ULONG i = 0; i < entries; ++i) {
        if (entry[i].ownerPid == pid) count++;
    }
    return count;
}

long ProcStatusValue(const std::string& status, const char* key) {
    size_t at = status.find(std::string("\n") + key + ":");
    if (at == std::string::npos) return -1;
    return atol(status.c_str() + at + strlen(key) + 2);
}

std::string ReadWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text = "\n";
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}

long CountEntries(const std::string& directory) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    long count = 0;
    do {
        if (found.cFileName[0] != '.') count++;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

Sample Measure(HANDLE process, DWORD pid, int unixPid) {
    Sample s;
    s.handles = CountHandles(process, pid);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, &memory, sizeof memory)) {
        s.workingSet = memory.WorkingSetSize;
        s.privateBytes = memory.PagefileUsage;  // the commit charge, = PrivateUsage
    }
    if (unixPid > 0) {
        // Wine maps Z: to the Linux root, so the Wine process's own /proc entry is readable.
        const std::string proc = "Z:\\proc\\" + std::to_string(unixPid);
        std::string status = ReadWholeFile(proc + "\\status");
        s.rssKb = ProcStatusValue(status, "VmRSS");
        s.anonKb = ProcStatusValue(status, "RssAnon");
        s.vmSizeKb = ProcStatusValue(status, "VmSize");
        s.threads = ProcStatusValue(status, "Threads");
        s.fds = CountEntries(proc + "\\fd");
    }
    return s;
}

// ---- Finding the agent ----

struct WindowQuery {
    std::wstring caption;
    std::string exe;
    HWND found = nullptr;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    WindowQuery* q = reinterpret_cast<WindowQuery*>(param);
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    if (q->caption != text) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (lstrcmpiA(ProcessExe(pid).c_str(), q->exe.c_str()) != 0) return TRUE;
    q->found = window;
    return FALSE;
}

HWND FindAgentWindow(const char* captionUtf8, const std::string& exe, DWORD timeoutMs) {
    WindowQuery q;
    q.caption = WideFrom(captionUtf8, CP_UTF8);
    q.exe = exe;
    DWORD start = GetTickCount();
    for (;;) {
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&q));
        if (q.found || GetTickCount() - start > timeoutMs) return q.found;
        Sleep(20);
    }
}

// Text of a control in the agent's window; WM_GETTEXT is marshalled across processes.
std::string ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    wchar_t buffer[2048] = {};
    DWORD_PTR got = 0;
    if (!control || !SendMessageTimeoutW(control, WM_GETTEXT, 2048, (LPARAM)buffer,
                                         SMTO_ABORTIFHUNG, 2000, &got)) {
        return std::string();
    }
    buffer[2047] = 0;
    std::string text = Utf8From(buffer);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// ---- What a user and Windows do to the agent ----

struct Action {
    const char* name;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    const char* verb;  // the request it makes the agent send
};

const Action kPingTick = {"ping-tick", WM_TIMER, kTimerPing, 0, "PING"};
const Action kHover = {"hover", kMsgTrayCallback, 0, WM_MOUSEMOVE, "PING"};
const Action kInfo = {"info", WM_COMMAND, IDM_INFO, 0, "GETINFO"};
const Action kLogout = {"logout", WM_COMMAND, IDM_DISCONNECT, 0, "LOGOUT"};
const Action kLogon = {"logon", WM_COMMAND, IDC_CONNECT, 0, "LOGON"};
const Action kReconnectTick = {"reconnect-tick", WM_TIMER, kTimerReconnect, 0, "LOGON"};
const Action kExit = {"exit", WM_COMMAND, IDM_EXIT, 0, nullptr};

// Server faults mixed into the run: what the agent must make of the faulted request, and how
// it gets back to a session afterwards.
enum Expect {
    kExpectReply,    // the whole reply, however it trickled in
    kExpectNoReply,  // nothing handed over (no answer, or one too long to be a reply)
    kExpectAny,      // a cut reply or a network error, either is fine
};

enum Recovery {
    kRecoverByItself,  // PING timer or reconnect timer ticks alone bring the session back
    kRecoverByUser,    // after a logoff the user presses Connect
};

struct FaultCase {
    const char* fault;  // "MODE:VERB" for the server's control command
    const Action* action;
    Expect expect;
    Recovery recovery;
};

const FaultCase kFaults[] = {
    {"split:1:PING", &kPingTick, kExpectReply, kRecoverByItself},
    {"silent:PING", &kPingTick, kExpectNoReply, kRecoverByItself},
    {"reset:GETINFO", &kInfo, kExpectAny, kRecoverByItself},
    {"oversize:4096:PING", &kPingTick, kExpectNoReply, kRecoverByItself},
    {"slow:2:GETINFO", &kInfo, kExpectReply, kRecoverByItself},
    {"reset:PING", &kPingTick, kExpectAny, kRecoverByItself},
    {"silent:GETINFO", &kInfo, kExpectNoReply, kRecoverByItself},
    {"split:1:LOGON", &kLogon, kExpectReply, kRecoverByUser},
    {"drop:PING", &kPingTick, kExpectNoReply, kRecoverByItself},
    {"oversize:4096:GETINFO", &kInfo, kExpectNoReply, kRecoverByItself},
    {"close:GETINFO", &kInfo, kExpectReply, kRecoverByItself},
    {"reset:LOGON", &kLogon, kExpectAny, kRecoverByUser},
    {"slow:2:LOGOUT", &kLogout, kExpectReply, kRecoverByUser},
    {"silent:LOGON", &kLogon, kExpectNoReply, kRecoverByUser},
};
const int kFaultCount = sizeof kFaults / sizeof kFaults[0];

// ---- The run ----

// What the driver is doing, for the watchdog's report.
const char* volatile gPhase = "starting";

// Nothing may hang the run: whatever blocks (a FIFO without a writer, a window that stops
// answering), the watchdog ends the process with a failure after the deadline.
DWORD WINAPI Watchdog(void* param) {
    Sleep(static_cast<DWORD>(reinterpret_cast<INT_PTR>(param)) * 1000);
    printf("result=fail reason=\"deadline passed while %s\"\n", gPhase);
    fflush(stdout);
    ExitProcess(1);
}

struct Options {
    std::string mode;
    std::string agentExe, serverLog, agentOut;
    int controlPort = 0;
    int unixPid = 0;
    int cycles = 2000;
    int requests = 200;
    int sampleEvery = 25;
    int faultEvery = 9;   // rounds
    int deadlineS = 600;  // the whole run
};

class Soak {
  public:
    explicit Soak(const Options& options) : options_(options) {}

    bool Start();
    bool Run();
    bool Bench();
    const std::string& failure() const { return failure_; }

  private:
    bool Fail(const std::string& why);
    // The agent first: the server logs a request before answering it, so whatever the agent is
    // seen to have finished is then in the server's log too.
    void Update() {
        agent_.Update();
        server_.Update();
    }
    void Post(const Action& a) { PostMessageW(main_, a.message, a.wParam, a.lParam); }
    void Wait();
    int Issue(const Action& a);
    bool AwaitFinished(size_t index);
    bool Exchange(const Action& a);
    bool CheckPing(const Request& ping);
    bool EnsureSession();
    bool Round(int round);
    bool InjectFault(const FaultCase& c);
    bool CheckFaulted(const FaultCase& c, size_t index);
    int Probe(const FaultCase& c, size_t after);
    bool FinalCheck();
    void MaybeSample(bool force);
    int Cycles() const { return static_cast<int>(server_.requests.size()); }
    std::string Describe(size_t index) const;
    // The agent's view of server request `index` (its attempts pair with the server's log
    // from the start of the run on), or nullptr while it has not started it.
    const Attempt* AttemptFor(size_t index) const {
        size_t i = index - offset_;
        return index >= offset_ && i < agent_.attempts.size() ? &agent_.attempts[i] : nullptr;
    }
    bool Finished(size_t index) const {
        return index >= offset_ && agent_.Finished(index - offset_);
    }

    Options options_;
    bool checkWindow_ = true;
    HWND main_ = nullptr, stats_ = nullptr;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    ServerLog server_;
    AgentOutput agent_;
    ControlLink control_;
    std::string failure_;
    DWORD started_ = 0, lastProgress_ = 0, lastHover_ = 0;
    size_t offset_ = 0;  // server requests made before the agent's first attempt
    int nextSample_ = 0;
    int faultsDone_ = 0;
    int hovers_ = 0;
};

bool Soak::Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
    return false;
}

void Soak::Wait() {
    if (agent_.tail.streaming()) {
        // Woken by the agent's next line; the server's log is looked at meanwhile.
        agent_.tail.WaitForData(2);
    } else if (GetTickCount() - lastProgress_ < 5) {
        // Spin politely while things move: the agent usually answers within a millisecond.
        SwitchToThread();
    } else {
        Sleep(1);
    }
    Update();
}

std::string Soak::Describe(size_t index) const {
    std::string text = "request " + std::to_string(index);
    if (index < server_.requests.size()) {
        const Request& r = server_.requests[index];
        text += " " + r.verb + " answered \"" + FirstLine(r.reply) + "\" (fault " + r.fault + ")";
    }
    if (const Attempt* found = AttemptFor(index)) {
        const Attempt& a = *found;
        text += a.received ? ", agent received \"" + a.reply + "\"" : ", agent received nothing";
        if (!a.error.empty()) text += ", network error \"" + a.error + "\"";
    }
    return text;
}

bool Soak::Start() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    gPhase = "looking for the agent's windows";
    main_ = FindAgentWindow(kLogonCaption, options_.agentExe, 10000);
    stats_ = FindAgentWindow(kStatsCaption, options_.agentExe, 1000);
    if (!main_ || !stats_) return Fail("no agent windows for " + options_.agentExe);
    GetWindowThreadProcessId(main_, &pid_);
    process_ = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid_);
    if (!process_) return Fail("cannot open the agent process");
    gPhase = "opening the server's log and the agent's output";
    if (!server_.tail.Open(options_.serverLog)) return Fail("cannot open " + options_.serverLog);
    if (!agent_.tail.Open(options_.agentOut)) return Fail("cannot open " + options_.agentOut);
    if (options_.controlPort && !control_.Connect(options_.controlPort)) {
        return Fail("cannot reach the server's control port");
    }
    gPhase = "waiting for the agent's first request to finish";
    started_ = lastProgress_ = GetTickCount();
    // Pair the two views while the agent has no request in flight; other clients of the same
    // server may have come first.
    for (Update(); agent_.attempts.empty() || !agent_.Finished(agent_.attempts.size() - 1) ||
                   server_.requests.size() < agent_.attempts.size();
         Update()) {
        if (GetTickCount() - started_ > kRequestDeadlineMs) {
            return Fail("the agent has no finished request to start from");
        }
        Sleep(10);
    }
    offset_ = server_.requests.size() - agent_.attempts.size();
    printf("start agent_pid=%lu unix_pid=%d requests=%d agent_requests=%zu\n", pid_,
           options_.unixPid, Cycles(), agent_.attempts.size());
    return true;
}

// Posts `a` (again every kRepostMs while the agent is busy and ignores it) until the server
// logs a new request of its verb; returns that request's index, or -1.
int Soak::Issue(const Action& a) {
    gPhase = a.name;
    Update();
    const size_t before = server_.requests.size();
    const DWORD start = GetTickCount();
    DWORD posted = start;
    Post(a);
    for (;;) {
        for (size_t i = before; i < server_.requests.size(); ++i) {
            if (server_.requests[i].verb == a.verb) {
                lastProgress_ = GetTickCount();
                return static_cast<int>(i);
            }
        }
        DWORD now = GetTickCount();
        if (now - start > kRequestDeadlineMs) {
            Fail(std::string(a.name) + ": no " + a.verb + " reached the server");
            return -1;
        }
        if (now - posted > kRepostMs) {
            Post(a);
            posted = now;
        }
        Wait();
    }
}

bool Soak::AwaitFinished(size_t index) {
    gPhase = "waiting for the agent to finish a request";
    const DWORD start = GetTickCount();
    while (!Finished(index)) {
        if (GetTickCount() - start > kRequestDeadlineMs) {
            return Fail("the agent never finished " + Describe(index));
        }
        Wait();
    }
    lastProgress_ = GetTickCount();
    return true;
}

// The session id travels back unchanged and the counter counts this session's PINGs.
bool Soak::CheckPing(const Request& ping) {
    if (ping.fields.size() != 4) return Fail("PING without four fields");
    const Request& logon = server_.Last(kLogon.verb);
    std::string session = logon.reply.substr(2, logon.reply.find(' ', 2) - 2);
    if (ping.fields[2] != session) {
        return Fail("PING carries session \"" + ping.fields[2] +
                    "\", the last LOGON was answered \"" + logon.reply + "\"");
    }
    return true;
}

// One complete, fault-free request: sent, answered, handed over; GETINFO also reaches the
// statistics window, a hover is sent as the out-of-turn PING.
bool Soak::Exchange(const Action& a) {
    int index = Issue(a);
    if (index < 0 || !AwaitFinished(index)) return false;
    const Request& request = server_.requests[index];
    const Attempt& attempt = *AttemptFor(index);
    if (!attempt.received || attempt.reply != FirstLine(request.reply) || !attempt.error.empty()) {
        return Fail(std::string(a.name) + ": " + Describe(index));
    }
    if (&a == &kHover && !attempt.hover) return Fail("hover: the PING was not the hover's");
    if (&a == &kInfo && checkWindow_) {
        std::string shown = ControlText(stats_, IDC_STATS_TEXT);
        if (shown != request.reply.substr(std::min<size_t>(2, request.reply.size()))) {
            return Fail("statistics window shows \"" + shown + "\" after GETINFO \"" +
                        request.reply + "\"");
        }
    }
    if (request.verb == kPingTick.verb && !CheckPing(request)) return false;
    return true;
}

// A logon the server accepts, and its first PING answered '1'.
bool Soak::EnsureSession() {
    if (!Exchange(kLogon)) return false;
    if (server_.Last(kLogon.verb).reply[0] != '3') {
        return Fail("LOGON answered \"" + server_.Last(kLogon.verb).reply + "\"");
    }
    if (!Exchange(kPingTick)) return false;
    if (server_.Last(kPingTick.verb).reply[0] != '1') {
        return Fail("first PING answered \"" + server_.Last(kPingTick.verb).reply + "\"");
    }
    return true;
}

// A user's round: PINGs, statistics, a hover now and then, logoff and logon again.
bool Soak::Round(int round) {
    static const Action* const kSteps[] = {&kPingTick, &kPingTick, &kInfo,  &kPingTick,
                                           &kPingTick, &kInfo,     &kLogout};
    for (const Action* step : kSteps) {
        if (!Exchange(*step)) return false;
        MaybeSample(false);
    }
    if (!EnsureSession()) return false;
    if (GetTickCount() - lastHover_ > kHoverSpacingMs) {
        if (!Exchange(kHover)) return false;
        lastHover_ = GetTickCount();
        hovers_++;
    }
    if (options_.faultEvery > 0 && round % options_.faultEvery == options_.faultEvery - 1) {
        return InjectFault(kFaults[faultsDone_++ % kFaultCount]);
    }
    return true;
}

bool Soak::CheckFaulted(const FaultCase& c, size_t index) {
    const Attempt& a = *AttemptFor(index);
    const std::string& reply = server_.requests[index].reply;
    bool ok = c.expect == kExpectAny ||
              (c.expect == kExpectReply && a.received && a.reply == FirstLine(reply)) ||
              (c.expect == kExpectNoReply && !a.received);
    return ok || Fail(std::string("fault ") + c.fault + ": " + Describe(index));
}

// Ticks the agent's timers (or presses Connect) until it sends again; the new request's index.
int Soak::Probe(const FaultCase& c, size_t after) {
    gPhase = "waiting for the agent to send again after a fault";
    const Action* probes[2] = {&kPingTick, &kReconnectTick};
    if (c.recovery == kRecoverByUser) probes[1] = &kLogon;
    const DWORD start = GetTickCount();
    for (int i = 0; server_.requests.size() <= after + 1; ++i) {
        if (GetTickCount() - start > kRequestDeadlineMs + 2000) {
            Fail(std::string("no request after fault ") + c.fault + ": " + Describe(after));
            return -1;
        }
        Post(*probes[i % 2]);
        const DWORD posted = GetTickCount();
        while (GetTickCount() - posted < kRepostMs / 2 && server_.requests.size() <= after + 1) {
            Wait();
        }
    }
    return static_cast<int>(after + 1);
}

// After a fault the agent must come back by itself (or with the user's Connect after a
// logoff): its next request handled, then a PING answered '1' in the session it holds.
bool Soak::InjectFault(const FaultCase& c) {
    const DWORD start = GetTickCount();
    if (c.action == &kLogon && !Exchange(kLogout)) return false;
    std::string answer;
    if (!control_.Command(std::string("fault ") + c.fault + " 1", &answer)) {
        return Fail(std::string("fault ") + c.fault + ": " + answer);
    }
    int faulted = Issue(*c.action);
    if (faulted < 0) return false;
    int next = Probe(c, faulted);
    if (next < 0 || !AwaitFinished(next) || !CheckFaulted(c, faulted)) return false;
    const Attempt& probe = *AttemptFor(next);
    if (!probe.received || probe.reply != FirstLine(server_.requests[next].reply)) {
        return Fail(std::string("after fault ") + c.fault + ": " + Describe(next));
    }
    const bool relogon = server_.requests[next].verb == kLogon.verb;
    if (!Exchange(kPingTick)) return false;
    if (server_.Last(kPingTick.verb).reply[0] != '1') {
        return Fail(std::string("after fault ") + c.fault + " PING answered \"" +
                    server_.Last(kPingTick.verb).reply + "\"");
    }
    const Attempt& hit = *AttemptFor(faulted);
    printf("fault case=%s outcome=\"%s\" recovered=%s ms=%lu\n", c.fault,
           hit.received ? ("received " + hit.reply).c_str()
                        : (hit.error.empty() ? "nothing" : ("error " + hit.error).c_str()),
           relogon ? "logon-again" : "same-session", GetTickCount() - start);
    fflush(stdout);
    return true;
}

// Sampled only between requests, when the agent holds no socket.
void Soak::MaybeSample(bool force) {
    if (!force && Cycles() < nextSample_) return;
    nextSample_ = Cycles() + options_.sampleEvery;
    Sample s = Measure(process_, pid_, options_.unixPid);
    printf("sample cycle=%d ms=%lu handles=%lu ws_kb=%lu private_kb=%lu rss_kb=%ld anon_kb=%ld "
           "vmsize_kb=%ld threads=%ld fds=%ld\n",
           Cycles(), GetTickCount() - started_, s.handles, (unsigned long)(s.workingSet / 1024),
           (unsigned long)(s.privateBytes / 1024), s.rssKb, s.anonKb, s.vmSizeKb, s.threads, s.fds);
    fflush(stdout);
}

// After the run: one more logoff, logon, PING, statistics and logoff, then Exit.
bool Soak::FinalCheck() {
    static const Action* const kSteps[] = {&kLogout, &kLogon, &kPingTick, &kInfo, &kLogout};
    for (const Action* step : kSteps) {
        if (!Exchange(*step)) return false;
    }
    if (server_.Last(kLogout.verb).reply[0] != '1') {
        return Fail("final LOGOUT answered \"" + server_.Last(kLogout.verb).reply + "\"");
    }
    MaybeSample(true);
    Post(kExit);
    return true;
}

bool Soak::Run() {
    MaybeSample(true);
    // The agent logged on by itself at start; its first PING opens the session.
    if (!Exchange(kPingTick)) return false;
    int round = 0;
    while (Cycles() < options_.cycles) {
        if (!Round(round++)) return false;
    }
    if (!FinalCheck()) return false;
    printf("done cycles=%d rounds=%d faults=%d hovers=%d network_errors=%d ms=%lu\n", Cycles(),
           round, faultsDone_, hovers_, agent_.networkErrors, GetTickCount() - started_);
    return true;
}

// Back-to-back GETINFO requests, each timed from the command to the agent handing its reply
// over; the statistics window is not read, so the driver adds only its polling. Then Exit.
bool Soak::Bench() {
    checkWindow_ = false;
    std::vector<double> ms;
    if (!Exchange(kInfo)) return false;  // warm-up
    for (int i = 0; i < options_.requests; ++i) {
        LARGE_INTEGER start = TimingNow();
        if (!Exchange(kInfo)) return false;
        ms.push_back(TimingMs(start, TimingNow()));
    }
    PrintTimings("bench", ms);
    Post(kExit);  // logs off, then ends
    return true;
}

// ---- Self-test of the parsing every verdict rests on ----

int SelfTest() {
    int failures = 0;
    auto expect = [&failures](bool ok, const std::string& what) {
        if (!ok) {
            printf("self-test FAILED: %s\n", what.c_str());
            failures++;
        }
    };
    struct StringCase {
        const char* line;
        const char* key;
        bool found;
        std::string value;
    } strings[] = {
        {"{\"reply\": \"1 150.25 3.10 0\"}", "reply", true, "1 150.25 3.10 0"},
        {"{\"reply\": \"1 a\\nb\\r\\tc\"}", "reply", true, "1 a\nb\r\tc"},
        {"{\"reply\": \"say \\\"hi\\\" \\\\ bye\"}", "reply", true, "say \"hi\" \\ bye"},
        {"{\"reply\": \"\\u0001x\\u007f\"}", "reply", true, "\x01x\x7f"},
        {"{\"reply\": \"Баланс\"}", "reply", true, "Баланс"},
        {"{\"reply\": \"cut", "reply", false, ""},
        {"{\"reply\": \"ends in \\", "reply", false, ""},
        {"{\"reply\": \"\\u12\"}", "reply", false, ""},
        {"{\"verb\": \"PING\"}", "reply", false, ""},
        {"{\"t\": 1.0, \"fault\": \"none\", \"reply\": \"0\"}", "fault", true, "none"},
    };
    for (const StringCase& c : strings) {
        std::string value;
        bool found = JsonField(c.line, c.key, &value);
        expect(found == c.found && (!found || value == c.value),
               std::string("JSON string in ") + c.line + ": got \"" + value + "\"");
    }
    std::vector<std::string> fields;
    expect(JsonList("{\"fields\": [\"PING\", \"a, b\", \"q\\\"\", \"\"]}", "fields", &fields) &&
               fields == std::vector<std::string>({"PING", "a, b", "q\"", ""}),
           "JSON list with a comma, a quote and an empty string");
    expect(!JsonList("{\"fields\": [\"PING\", \"cut", "fields", &fields), "cut JSON list");

    // Debug lines as the agent writes them, and the attempts they make.
    AgentOutput out;
    for (const char* line :
         {"Трей: Отключен", "Полученные данные: stray", kAttemptLine, "Полученные данные: 3 7 1800",
          kHoverLine, kAttemptLine, "Полученные данные: 1 150.25 3.10 0", "Баланс: 150.25",
          kAttemptLine, kAttemptLine, "Сетевая ошибка, причина: Network timeout", kAttemptLine}) {
        out.Take(line);
    }
    expect(out.attempts.size() == 5, "five attempts");
    expect(out.attempts[0].received && out.attempts[0].reply == "3 7 1800" &&
               !out.attempts[0].hover,
           "a reply before any attempt is not counted; the first attempt's reply");
    expect(out.attempts[1].hover && out.attempts[1].reply == "1 150.25 3.10 0",
           "the hover line marks the attempt after it");
    expect(!out.attempts[2].received && out.Finished(2),
           "an attempt followed by another is finished (a silent timeout)");
    expect(out.attempts[3].error == "Network timeout" && out.Finished(3) && out.networkErrors == 1,
           "a network error ends its attempt");
    expect(!out.Finished(4) && !out.Finished(5), "the last attempt is still in flight");
    printf("self-test %s\n", failures == 0 ? "passed" : "failed");
    return failures == 0 ? kExitOk : kExitFailed;
}

// ---- Command line ----

bool ParseOptions(int argc, char** argv, Options* o) {
    if (argc < 2) return false;
    o->mode = argv[1];
    struct IntOption {
        const char* name;
        int* field;
    } ints[] = {{"--control-port", &o->controlPort},
                {"--unix-pid", &o->unixPid},
                {"--cycles", &o->cycles},
                {"--requests", &o->requests},
                {"--sample-every", &o->sampleEvery},
                {"--fault-every", &o->faultEvery},
                {"--deadline", &o->deadlineS}};
    struct TextOption {
        const char* name;
        std::string* field;
    } texts[] = {{"--agent-exe", &o->agentExe},
                 {"--server-log", &o->serverLog},
                 {"--agent-out", &o->agentOut}};
    for (int i = 2; i + 1 < argc; i += 2) {
        bool known = false;
        for (const IntOption& opt : ints) {
            if (strcmp(argv[i], opt.name) == 0) *opt.field = atoi(argv[i + 1]), known = true;
        }
        for (const TextOption& opt : texts) {
            if (strcmp(argv[i], opt.name) == 0) *opt.field = argv[i + 1], known = true;
        }
        if (!known) return false;
    }
    if (o->agentExe.empty() || o->serverLog.empty() || o->agentOut.empty()) return false;
    if (o->sampleEvery < 1 || o->cycles < 1 || o->requests < 1 || o->deadlineS < 1) return false;
    return o->mode == "bench" || (o->mode == "soak" && o->controlPort > 0);
}

}  // namespace

// A crash must end the run with a failure, not wait for a debugger that nobody attends.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    printf("result=fail reason=\"driver crashed (exception %08lx) while %s\"\n",
           info->ExceptionRecord->ExceptionCode, gPhase);
    fflush(stdout);
    ExitProcess(kExitFailed);
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "self-test") == 0) return SelfTest();
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: soak_driver soak|bench --agent-exe PATH --server-log PATH "
                        "--agent-out PATH [--control-port N] [--unix-pid N] [--cycles N] "
                        "[--requests N] [--sample-every N] [--fault-every N] [--deadline S]\n");
        return kExitUsage;
    }
    SetUnhandledExceptionFilter(OnCrash);
    CreateThread(nullptr, 0, Watchdog, reinterpret_cast<void*>(INT_PTR(options.deadlineS)), 0,
                 nullptr);
    // Never destroyed: a FIFO's reader thread may still be taking the agent's last lines.
    Soak* soak = new Soak(options);
    bool ok = soak->Start() && (options.mode == "soak" ? soak->Run() : soak->Bench());
    if (ok) {
        printf("result=ok\n");
    } else {
        printf("result=fail reason=\"%s\"\n", soak->failure().c_str());
    }
    fflush(stdout);
    ExitProcess(ok ? kExitOk : kExitFailed);
}
