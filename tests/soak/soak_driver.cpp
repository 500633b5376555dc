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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/request_timings.h"
#include "core/timings.h"
#include "platform/events.h"
#include "platform/win32/messages.h"
#include "res/resource_ids.h"
#include "tests/e2e/driver/driver_support.h"
#include "tests/soak/soak_logs.h"
#include "tests/soak/soak_measure.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

const char kLogonCaption[] = "Подключение к Интернет";
const char kStatsCaption[] = "Текущее состояние пользователя";

// A command the agent ignores while busy is posted again after this long.
const DWORD kRepostMs = 200;
// Longest a request may take: the agent's own request timeout is 3.5 s.
const DWORD kRequestDeadlineMs = 8000;
// The agent sends at most one hover PING per 5 s.
const DWORD kHoverSpacingMs = 5300;

// ---- Text ----
// ---- Finding the agent ----

// The agent's top-level window with this caption (UTF-8 here), waiting up to `timeoutMs`.
HWND FindAgentWindow(const char* captionUtf8, const std::string& exe, DWORD timeoutMs) {
    Selector s;
    s.byCaption = true;
    s.caption = Convert(captionUtf8, CP_UTF8, 1251);
    s.exe = exe;
    HWND found = nullptr;
    PollUntil(timeoutMs, [&] {
        std::vector<HWND> windows = FindTop(s);
        found = windows.empty() ? nullptr : windows.front();
        return found != nullptr;
    });
    return found;
}

// Text of a control in the agent's window, as UTF-8 without carriage returns.
std::string ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) return std::string();
    std::string text = Convert(WindowText(control), 1251, CP_UTF8);
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
    if (argc == 2 && strcmp(argv[1], "self-test") == 0) {
        bool passed = SoakSelfTest();
        return passed ? kExitOk : kExitFailed;
    }
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
