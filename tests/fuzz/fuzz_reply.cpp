// A server reply to each request the agent can have in flight, carried through the real engine:
// connect, write, the reply in FD_READ chunks, FD_CLOSE, and the reply handling behind it.
//
// Input: [selector] [counter] [chunk] reply...
//   selector bits 0-1 request (LOGON, LOGOUT, PING, GETINFO), bit 2 sessionActive,
//   bit 3 linkConfirmed, bit 4 2048-bit key, bit 5 quitAfterLogout, bit 6 remembered password
//   (useSavedPassword and box 107), bit 7 the last chunk arrives with the close;
//   counter bits 0-3 pingCounter, bits 4-5 timeoutRetries, bits 6-7 retryDelay step;
//   chunk: bytes per FD_READ (0: the whole reply at once).
#include <algorithm>
#include <string>

#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "session/frames.h"
#include "tests/fuzz/fuzz_agent.h"

using fake::world;
using fuzz::Check;

namespace {

struct Request {
    const char* verb;
    int connecting;
};
const Request kRequests[] = {
    {"LOGON", kLogonConnecting},
    {"LOGOUT", kLogoutConnecting},
    {"PING", kPingConnecting},
    {"GETINFO", kInfoConnecting},
};
const uint32_t kRetryDelays[] = {60000, 90000, 1025155, 1200000};

// Puts the request in flight as the session control does: connState, the frame, the connect.
void StartRequest(const Request& request) {
    gAgent.connState = request.connecting;
    if (request.connecting == kLogonConnecting) {
        bool remember = false;
        PlatReadLogonForm(gAgent.login, sizeof gAgent.login, gAgent.password,
                          sizeof gAgent.password, &remember);
        ComposeRequest(request.verb, gAgent.login, gAgent.password, kClientVersionCode);
    } else {
        ComposeRequest(request.verb, gAgent.login, gAgent.sessionId,
                       request.connecting == kPingConnecting ? "1" : "VOID4");
    }
    OpenConnection();
}

// Delivers the reply; true when the request ended at the close, false when the socket was gone
// by then (a full buffer closes it on the spot).
bool DeliverReply(const std::string& reply, size_t chunk, bool lastWithClose) {
    PlatSocket s = fake::CurrentSocket();
    fake::FakeSocket& sock = world.sockets[s];
    if (chunk == 0) chunk = reply.size() > 0 ? reply.size() : 1;
    size_t offset = 0;
    while (offset < reply.size()) {
        size_t n = std::min(chunk, reply.size() - offset);
        sock.inbound.push_back(reply.substr(offset, n));
        offset += n;
        if (lastWithClose && offset == reply.size()) break;
        fake::Event(kSocketReadable, kNetOk, s);
        fuzz::CheckAgentState();
        if (gAgent.socketHandle != s) break;
    }
    if (gAgent.socketHandle != s) return false;
    sock.inbound.push_back("");
    fake::Event(kSocketClosed, kNetOk, s);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader in(data, size);
    uint8_t selector = in.Byte();
    uint8_t counter = in.Byte();
    size_t chunk = in.Byte();
    std::string reply = in.Rest();

    fuzz::StartAgent((selector & 0x10) != 0);
    const Request& request = kRequests[selector & 3];
    gAgent.sessionActive = (selector & 0x04) != 0;
    gAgent.linkConfirmed = gAgent.sessionActive && (selector & 0x08) != 0;
    gAgent.quitAfterLogout = (selector & 0x20) != 0;
    bool remembered = (selector & 0x40) != 0;
    gAgent.useSavedPassword = remembered;
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = remembered;
    gAgent.pingCounter = counter & 0x0f;
    gAgent.timeoutRetries = (counter >> 4) & 3;
    gAgent.retryDelay = kRetryDelays[counter >> 6];
    gAgent.pingInterval = 300000;
    world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
    world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = "secret";
    if (gAgent.sessionActive) {
        CopyBounded(gAgent.login, sizeof gAgent.login, "user");
        CopyBounded(gAgent.sessionId, sizeof gAgent.sessionId, "57");
    }
    bool wasActive = gAgent.sessionActive;
    StartRequest(request);

    fake::Event(kSocketConnected);
    Check(gAgent.connState == request.connecting + 1, "connect moves to writing");
    fake::Event(kSocketWritable);
    Check(gAgent.connState == request.connecting + 2, "a written request moves to reading");
    Check(gAgent.ioLength == 0, "reading starts at the buffer's start");

    bool closed = DeliverReply(reply, chunk, (selector & 0x80) != 0);
    fuzz::CheckAgentState();
    if (closed) {
        Check(gAgent.connState == kIdle, "a request is over once the server has closed");
        Check(world.quitPosted == gAgent.quitAfterLogout, "quit exactly when asked for");
    } else {
        // The buffer filled up: the socket is closed and the request ends through its timeout.
        Check(gAgent.ioLength == gAgent.ioExpected - 1, "only a full buffer closes early");
        Check(fake::TimerRunning(kTimerRequest), "a request in flight keeps its timeout");
        OnTimer(kTimerRequest);
        Check(gAgent.connState == kIdle, "the timeout ends the request");
        Check(!world.quitPosted, "a request that ends by timeout does not quit");
    }
    fuzz::CheckAgentState();
    fuzz::CheckTrayTips(0);
    Check(fuzz::ItemText(fake::kStatsWindow, IDC_STATS_TEXT).size() <= 1023,
          "statistics text of at most 1023 characters");
    for (const fake::Box& box : world.boxes)
        Check(box.text.size() <= 1023, "box text bounded");

    if (closed && !reply.empty() && reply[0] != '\0') {
        char code = reply[0];
        switch (request.connecting) {
            case kLogoutConnecting:
                Check(!gAgent.sessionActive && !gAgent.linkConfirmed && gAgent.sessionId[0] == 0,
                      "any LOGOUT reply ends the session");
                break;
            case kPingConnecting:
                if (code == '0') Check(!gAgent.sessionActive, "PING '0' ends the session");
                if (code == '1') Check(gAgent.timeoutRetries == 0, "PING '1' resets the retries");
                break;
            case kLogonConnecting:
                if (gAgent.sessionActive && !wasActive) {
                    Check(code == '1' || code == '3', "only codes 1 and 3 open a session");
                    Check(gAgent.pingInterval == 300000 || gAgent.pingInterval == 90000 ||
                              (gAgent.pingInterval >= 20000 && gAgent.pingInterval <= 1800000),
                          "PING interval within 20 s .. 30 min");
                    Check(fake::TimerPeriod(kTimerPing) == 2000, "fast PINGs after a logon");
                }
                break;
            case kInfoConnecting:
                Check(world.visible[fake::kStatsWindow], "a GETINFO reply shows the statistics");
                break;
        }
    }
    return 0;
}
