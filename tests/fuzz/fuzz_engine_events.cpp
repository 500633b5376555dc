// Any sequence of socket events, timer ticks, commands and tray hovers against the agent as
// bring-up leaves it, with the server's chunks and send limits scripted by the input.
//
// Input: [setup] then operations, each an opcode byte and its operands (see Step). setup bit 0:
// remembered credentials (bring-up logs on at once, automatic reconnection on); bit 1: the
// 2048-bit key; bit 2: after bring-up the user types a login and a password, which come next as
// [length, 2 bytes][text] each (up to the edit controls' limit); bit 3: the user ticks the box
// that remembers them.
#include <algorithm>
#include <string>

#include "app/agent_main.h"
#include "core/timings.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "settings/store.h"
#include "tests/fuzz/fuzz_agent.h"

using fake::world;
using fuzz::Check;

namespace {

const int kMaxOperations = 400;
// The logon window's edit controls keep Windows' default limit for a single line.
const size_t kTypedLimit = 32766;
const char kRememberedLogin[] = "user";
const char kPasswordPlaceholder[] = "password";

// Replies that move the session on, so that the fuzzer reaches deep states without having to
// invent them byte by byte.
const char* const kReplies[] = {
    "1 57",
    "3 57 60",
    "3 57 10",
    "1 150.25 3.10 0 Hello",
    "1 9.00 1.00 1",
    "1 0.00 0.00 2 Stop",
    "2",
    "2 refused",
    "0 text",
    "0",
    "1 0",
    "x",
    "1",
    "ok",
};
const int kCommandIds[] = {IDC_CONNECT, IDM_DISCONNECT, IDM_INFO,   IDM_EXIT,
                           IDM_CONNECT, IDC_HIDE,       IDM_AUTORUN};
const PlatSocketEvent kEvents[] = {kSocketReadable, kSocketWritable, kSocketConnected,
                                   kSocketClosed,   kSocketOther,    kSocketReadable};
const PlatNetError kErrors[] = {kNetOk,    kNetRefused,     kNetReset,          kNetTimedOut,
                                kNetOther, kNetUnreachable, kNetHostUnreachable};

template <typename T, size_t N> const T& Pick(const T (&table)[N], uint8_t byte) {
    return table[byte % N];
}

bool HaveSocket() { return !world.socketOrder.empty(); }

fake::FakeSocket* LastSocket() {
    return HaveSocket() ? &world.sockets[fake::CurrentSocket()] : nullptr;
}

void EventOnLast(PlatSocketEvent event, PlatNetError error = kNetOk) {
    if (HaveSocket()) fake::Event(event, error, fake::CurrentSocket());
}

// The earliest due timer, so that a single tick can be asked for.
uint32_t UntilNextTimer() {
    uint32_t best = 0;
    bool found = false;
    for (auto& [id, timer] : world.timers) {
        uint32_t wait = timer.due - world.now;
        if (!found || wait < best) best = wait;
        found = true;
    }
    return found ? best : 1000;
}

void Connected(fuzz::ByteReader&) { EventOnLast(kSocketConnected); }
void Writable(fuzz::ByteReader&) { EventOnLast(kSocketWritable); }
void Readable(fuzz::ByteReader&) { EventOnLast(kSocketReadable); }
void Closed(fuzz::ByteReader&) { EventOnLast(kSocketClosed); }

void AnyEvent(fuzz::ByteReader& in) {
    PlatSocketEvent event = Pick(kEvents, in.Byte());
    EventOnLast(event, Pick(kErrors, in.Byte()));
}

// A notification for a socket that is no longer (or never was) the current one.
void StaleEvent(fuzz::ByteReader& in) {
    uint8_t which = in.Byte();
    PlatSocketEvent event = Pick(kEvents, in.Byte());
    PlatSocket s = which < world.socketOrder.size() ? world.socketOrder[which]
                                                    : static_cast<PlatSocket>(which) * 7 + 5000;
    fake::Event(event, kNetOk, s);
}

void RawChunk(fuzz::ByteReader& in) {
    std::string chunk = in.Bytes(in.Byte() % 80);
    if (fake::FakeSocket* sock = LastSocket()) sock->inbound.push_back(chunk);
}

void CannedReply(fuzz::ByteReader& in) {
    const char* reply = Pick(kReplies, in.Byte());
    if (fake::FakeSocket* sock = LastSocket()) sock->inbound.push_back(reply);
}

void SendLimit(fuzz::ByteReader& in) {
    uint8_t limit = in.Byte();
    if (fake::FakeSocket* sock = LastSocket()) {
        sock->sendResult = limit == 0 ? -1 : 0;
        sock->sendLimit = limit * 4;
    }
}

void TimePasses(fuzz::ByteReader& in) { fake::Advance(in.Byte() * 100u); }
void NextTick(fuzz::ByteReader&) { fake::Advance(UntilNextTimer()); }
void Command(fuzz::ByteReader& in) { OnCommand(Pick(kCommandIds, in.Byte())); }
void Hover(fuzz::ByteReader&) { OnTrayEvent(kTrayMouseMove); }
void TrayClick(fuzz::ByteReader&) { OnTrayEvent(kTrayMouseButton); }

// The rest of the platform's surprises, and the windows' own events.
void Other(fuzz::ByteReader& in) {
    switch (in.Byte() % 8) {
        case 0: world.socketOpenFails = !world.socketOpenFails; break;
        case 1: world.trayFailures = 2; break;
        case 2: OnTaskbarCreated(); break;
        case 3: OnPasswordTyped(); break;
        case 4: OnWindowClose(kWindowLogon); break;
        case 5: OnStatsCommand(IDC_STATS_OK); break;
        case 6: OnTimer(in.Byte() % 8); break;  // a tick still queued after its kill
        default: fake::Pump(); break;
    }
}

// By opcode; 14, the end of the Windows session, is handled in Step.
void (*const kOperations[])(fuzz::ByteReader&) = {
    Connected, Writable,   Readable, Closed,  AnyEvent, StaleEvent, RawChunk, CannedReply,
    SendLimit, TimePasses, NextTick, Command, Hover,    TrayClick,  nullptr,  Other,
};

// One operation; false ends the run (the Windows session ended: the process goes away).
bool Step(fuzz::ByteReader& in) {
    uint8_t op = in.Byte() % 16;
    if (op != 14) {
        kOperations[op](in);
        return true;
    }
    switch (in.Byte() % 3) {
        case 0: LogoutAtSessionEnd(); return true;
        case 1: OnEndSession(false, false); return true;
        default: OnEndSession(true, false); return false;
    }
}

void CheckSockets() {
    int open = 0;
    for (auto& [handle, sock] : world.sockets) {
        if (sock.closed) continue;
        open++;
        Check(handle == gAgent.socketHandle, "the only open socket is the agent's current one");
    }
    Check(open <= 1, "at most one socket open");
    if (gAgent.socketHandle != kNoSocket) {
        Check(world.sockets.count(gAgent.socketHandle) == 1 &&
                  !world.sockets[gAgent.socketHandle].closed,
              "the current socket is open");
    }
    if (gAgent.connState == kIdle) Check(gAgent.socketHandle == kNoSocket, "idle holds no socket");
    // A request in flight always ends, by its reply or by its timeout. Only the blocking logoff
    // at the end of the Windows session leaves the engine without one, by design.
    if (gAgent.connState != kIdle && !gAgent.sessionEndLogoff) {
        Check(fake::TimerRunning(kTimerRequest), "a request in flight has its timeout running");
    }
}

// A text as the edit control holds it: at most its limit, and never past a NUL.
std::string Typed(fuzz::ByteReader& in) {
    std::string text = in.Bytes(in.U16() % (kTypedLimit + 1));
    return text.substr(0, text.find('\0'));
}

// What a user typed reaches the request and the stored settings only as far as each holds it.
struct TypedTexts {
    bool given = false;
    std::string login, password;

    bool IsLogin(const char* text, size_t limit) const {
        const std::string value = text;
        return value.empty() || value == kRememberedLogin || value == login.substr(0, limit);
    }
    void Check() const {
        if (!given) return;
        fuzz::Check(IsLogin(gAgent.login, kLoginSize - 1), "the request's login is the typed one");
        const std::string sent = gAgent.password;
        fuzz::Check(sent.empty() || sent == kPasswordPlaceholder ||
                        sent == password.substr(0, kPasswordSize - 1),
                    "the request's password is the typed one");
        auto& settings = world.registry[kSettingsKey];
        auto stored = settings.find("login");
        if (stored == settings.end()) return;
        fuzz::Check(stored->second.type == kValueString &&
                        stored->second.data.find('\0') == std::string::npos &&
                        IsLogin(stored->second.data.c_str(), 1023),
                    "the stored login is the typed one, as far as the store keeps it");
    }
};

TypedTexts UserTypes(uint8_t setup, fuzz::ByteReader& in) {
    TypedTexts typed;
    if (setup & 4) {
        typed.given = true;
        typed.login = Typed(in);
        typed.password = Typed(in);
        world.texts[{fake::kLogonWindow, IDC_LOGIN}] = typed.login;
        world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = typed.password;
        OnPasswordTyped();
    }
    if (setup & 8) world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = true;
    return typed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader in(data, size);
    uint8_t setup = in.Byte();
    fuzz::StartAgent((setup & 2) != 0);
    world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
    world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = "secret";
    if (setup & 1) {
        auto& values = world.registry[kSettingsKey];
        uint32_t one = 1;
        values["savedata"] = {kValueDword, std::string(reinterpret_cast<char*>(&one), 4)};
        values["login"] = {kValueString, kRememberedLogin};
        values["pass"] = {kValueBinary, std::string(gAgent.blockSize, '\x5a')};
    }
    char program[] = "VornaAgent.exe";
    char* argv[] = {program};
    Check(AgentBringUp(1, argv) == 0, "bring-up succeeds on the fake");
    fake::Pump();
    const TypedTexts typed = UserTypes(setup, in);

    for (int i = 0; i < kMaxOperations && in.Left() > 0; i++) {
        size_t trayBefore = world.tray.size();
        if (!Step(in)) break;
        fuzz::CheckAgentState();
        fuzz::CheckTrayTips(trayBefore);
        CheckSockets();
        typed.Check();
        Check(!gAgent.linkConfirmed || gAgent.sessionActive, "an open link needs a session");
    }
    return 0;
}
