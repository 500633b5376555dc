// Sockets against a loopback peer: events as window messages, and the time-bounded calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/events.h"
#include "platform/win32/messages.h"
#include "wine_test_util.h"

namespace {

// The first socket notification for `s` carrying `event`, or nullptr.
const SeenMessage* FindEvent(const AgentWindows& window, PlatSocket s, int event) {
    for (const SeenMessage& m : window.seen()) {
        if (m.message == kMsgSocketNotify && static_cast<PlatSocket>(m.wParam) == s &&
            WSAGETSELECTEVENT(m.lParam) == event)
            return &m;
    }
    return nullptr;
}

size_t IndexOf(const AgentWindows& window, const SeenMessage* m) {
    return static_cast<size_t>(m - window.seen().data());
}

std::string Drain(PlatSocket s, int* last) {
    std::string got;
    uint8_t piece[256];
    int n;
    while ((n = PlatSocketRecv(s, piece, sizeof piece)) > 0)
        got.append(reinterpret_cast<char*>(piece), static_cast<size_t>(n));
    *last = n;
    return got;
}

// The notifications go to the agent's main window, where the test reads them.
class SocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureSockets();
        ASSERT_TRUE(window.ok());
    }
    AgentWindows window;
};

TEST_F(SocketTest, StartupFindsVersionTwoTwo) {
    ASSERT_EQ(kSocketsReady, PlatSocketsStartup());
    WSACleanup();  // balances this test's own startup only
}

TEST_F(SocketTest, OneRequestCycleArrivesAsMessagesInOrder) {
    LoopbackListener server;
    ASSERT_TRUE(server.ok());
    PlatSocket s = PlatSocketOpen();
    ASSERT_NE(kNoSocket, s);
    PlatSocketWait(s, kWaitConnect);
    PlatSocketConnect(s, "127.0.0.1", server.port());
    ASSERT_TRUE(PumpUntil([&] { return FindEvent(window, s, FD_CONNECT); }, 5000));
    EXPECT_EQ(0, WSAGETSELECTERROR(FindEvent(window, s, FD_CONNECT)->lParam));
    SOCKET peer = server.Accept(5000);
    ASSERT_NE(INVALID_SOCKET, peer);

    PlatSocketWait(s, kWaitWrite);
    ASSERT_TRUE(PumpUntil([&] { return FindEvent(window, s, FD_WRITE); }, 5000));
    uint8_t frame[512];
    for (size_t i = 0; i < sizeof frame; ++i)
        frame[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(512, PlatSocketSend(s, frame, sizeof frame));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(frame), sizeof frame),
              ReceiveFor(peer, sizeof frame, 5000));

    PlatSocketWait(s, kWaitRead);
    const char reply[] = "1 57 300";
    ASSERT_EQ(static_cast<int>(strlen(reply)),
              send(peer, reply, static_cast<int>(strlen(reply)), 0));
    shutdown(peer, SD_SEND);
    // As the engine does: read whatever is there at each event; the close comes after the data.
    std::string got;
    int last = -2;
    ASSERT_TRUE(PumpUntil(
        [&] {
            if (last != 0) got += Drain(s, &last);
            return FindEvent(window, s, FD_CLOSE) != nullptr;
        },
        5000));
    if (last != 0) got += Drain(s, &last);
    EXPECT_EQ(reply, got);
    EXPECT_EQ(0, last) << "after the peer's close a receive reports 0";
    EXPECT_LT(IndexOf(window, FindEvent(window, s, FD_CONNECT)),
              IndexOf(window, FindEvent(window, s, FD_WRITE)));
    EXPECT_LT(IndexOf(window, FindEvent(window, s, FD_WRITE)),
              IndexOf(window, FindEvent(window, s, FD_CLOSE)));
    PlatSocketShutdown(s);
    PlatSocketClose(s);
}

// Half a reply, then a reset: the engine must learn that the connection failed, from the close
// notification's error or from the receive, however the system reports the reset.
TEST_F(SocketTest, AResetIsToldFromAnOrderlyClose) {
    LoopbackListener server;
    PlatSocket s = PlatSocketOpen();
    PlatSocketWait(s, kWaitConnect);
    PlatSocketConnect(s, "127.0.0.1", server.port());
    ASSERT_TRUE(PumpUntil([&] { return FindEvent(window, s, FD_CONNECT); }, 5000));
    SOCKET peer = server.Accept(5000);
    ASSERT_NE(INVALID_SOCKET, peer);
    PlatSocketWait(s, kWaitRead);
    ASSERT_EQ(3, send(peer, "1 1", 3, 0));
    std::string got;
    int last = -1;
    ASSERT_TRUE(PumpUntil(
        [&] {
            got += Drain(s, &last);
            return got.size() == 3;
        },
        5000));
    linger hard = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(peer);
    ASSERT_TRUE(PumpUntil([&] { return FindEvent(window, s, FD_CLOSE); }, 5000));
    int closeError = WSAGETSELECTERROR(FindEvent(window, s, FD_CLOSE)->lParam);
    if (closeError == 0) Drain(s, &last);
    EXPECT_TRUE(closeError != 0 || last == kRecvFailed)
        << "error " << closeError << ", read " << last;
    PlatSocketClose(s);
}

TEST_F(SocketTest, RefusedConnectArrivesAsConnectEventWithItsError) {
    PlatSocket s = PlatSocketOpen();
    ASSERT_NE(kNoSocket, s);
    PlatSocketWait(s, kWaitConnect);
    PlatSocketConnect(s, "127.0.0.1", ClosedLoopbackPort());
    ASSERT_TRUE(PumpUntil([&] { return FindEvent(window, s, FD_CONNECT); }, 5000));
    EXPECT_EQ(WSAECONNREFUSED, WSAGETSELECTERROR(FindEvent(window, s, FD_CONNECT)->lParam));
    PlatSocketClose(s);
}

TEST_F(SocketTest, ClosingDropsNotificationsStillQueuedForTheSocket) {
    PlatSocket s = PlatSocketOpen();
    ASSERT_NE(kNoSocket, s);
    // As Winsock leaves them when the peer closes twice: queued, not yet handled.
    PostMessageA(window.main(), kMsgSocketNotify, static_cast<WPARAM>(s), FD_CLOSE);
    PostMessageA(window.main(), kMsgSocketNotify, static_cast<WPARAM>(s), FD_CLOSE);
    PostMessageA(window.main(), WM_APP, 0, 0);
    PlatSocketClose(s);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, kMsgSocketNotify, kMsgSocketNotify, PM_NOREMOVE));
    EXPECT_TRUE(PeekMessageA(&m, nullptr, WM_APP, WM_APP, PM_REMOVE)) << "other messages stay";
}

TEST_F(SocketTest, ReceiveWithNothingReadyIsAnErrorNotAClose) {
    LoopbackListener server;
    PlatSocket s = PlatSocketOpen();
    PlatSocketWait(s, kWaitConnect);
    PlatSocketConnect(s, "127.0.0.1", server.port());
    ASSERT_TRUE(PumpUntil([&] { return FindEvent(window, s, FD_CONNECT); }, 5000));
    ASSERT_NE(INVALID_SOCKET, server.Accept(5000));
    uint8_t byte;
    EXPECT_LT(PlatSocketRecv(s, &byte, 1), 0) << "0 would read as the server's close";
    PlatSocketClose(s);
}

// ---- The blocking exchange of the session-end logoff ----

TEST_F(SocketTest, BlockingExchangeCarriesFrameAndReply) {
    LoopbackListener server;
    PlatSocket s = PlatSocketOpenBlocking();
    ASSERT_NE(kNoSocket, s);
    ASSERT_EQ(0, PlatSocketConnectWait(s, "127.0.0.1", server.port(), 3000));
    SOCKET peer = server.Accept(3000);
    ASSERT_NE(INVALID_SOCKET, peer);
    uint8_t frame[512];
    memset(frame, 0x5A, sizeof frame);
    int sent = 0;
    while (sent < 512) {
        int n = PlatSocketSendWait(s, frame + sent, 512 - sent, 3000);
        ASSERT_GT(n, 0);
        sent += n;
    }
    EXPECT_EQ(512u, ReceiveFor(peer, 512, 3000).size());
    send(peer, "1 bye", 5, 0);
    shutdown(peer, SD_SEND);
    uint8_t reply[16] = {};
    ASSERT_EQ(5, PlatSocketRecvWait(s, reply, sizeof reply, 3000));
    EXPECT_EQ(0, memcmp(reply, "1 bye", 5));
    EXPECT_EQ(0, PlatSocketRecvWait(s, reply, sizeof reply, 3000)) << "then the close";
    PlatSocketClose(s);
}

TEST_F(SocketTest, BlockingConnectToClosedPortFailsWithoutWaitingOut) {
    PlatSocket s = PlatSocketOpenBlocking();
    DWORD start = GetTickCount();
    EXPECT_LT(PlatSocketConnectWait(s, "127.0.0.1", ClosedLoopbackPort(), 3000), 0);
    EXPECT_LT(GetTickCount() - start, 2000u);
    PlatSocketClose(s);
}

// How long a call took, checked against its bound: it must wait (a call that returns at once
// would end the logoff before a slow server answers) but not much longer than allowed.
struct Bound {
    DWORD limitMs;
    DWORD took;
};
void ExpectWithin(const Bound& b) {
    EXPECT_GE(b.took + 40, b.limitMs) << "gave up after " << b.took << " ms";
    EXPECT_LE(b.took, b.limitMs + 1000) << "overran its " << b.limitMs << " ms bound";
}

TEST_F(SocketTest, BlockingReceiveFromSilentServerGivesUpAtItsBound) {
    LoopbackListener server;
    PlatSocket s = PlatSocketOpenBlocking();
    ASSERT_EQ(0, PlatSocketConnectWait(s, "127.0.0.1", server.port(), 3000));
    ASSERT_NE(INVALID_SOCKET, server.Accept(3000));
    uint8_t reply[64];
    for (DWORD limit : {300u, 700u}) {
        DWORD start = GetTickCount();
        EXPECT_LT(PlatSocketRecvWait(s, reply, sizeof reply, limit), 0);
        ExpectWithin({limit, GetTickCount() - start});
    }
    PlatSocketClose(s);
}

TEST_F(SocketTest, BlockingSendToServerThatNeverReadsGivesUpAtItsBound) {
    LoopbackListener server;
    PlatSocket s = PlatSocketOpenBlocking();
    ASSERT_EQ(0, PlatSocketConnectWait(s, "127.0.0.1", server.port(), 3000));
    ASSERT_NE(INVALID_SOCKET, server.Accept(3000));
    static uint8_t chunk[256 * 1024];
    const DWORD limit = 300;
    DWORD slowest = 0;
    DWORD started = GetTickCount();
    int result = 1;
    // The kernel's buffers fill after a few megabytes; from then on each call times out.
    while (result > 0 && GetTickCount() - started < 60000) {
        DWORD start = GetTickCount();
        result = PlatSocketSendWait(s, chunk, sizeof chunk, limit);
        DWORD took = GetTickCount() - start;
        if (took > slowest) slowest = took;
    }
    EXPECT_LT(result, 0) << "the buffers never filled";
    EXPECT_LE(slowest, limit + 1000) << "one send overran its bound";
    PlatSocketClose(s);
}

// A listener whose accept queue is full never completes another handshake.
TEST_F(SocketTest, BlockingConnectToServerThatNeverAcceptsGivesUpAtItsBound) {
    LoopbackListener server(1);
    std::vector<PlatSocket> queued;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        PlatSocket filler = PlatSocketOpenBlocking();
        queued.push_back(filler);
        full = PlatSocketConnectWait(filler, "127.0.0.1", server.port(), 300) != 0;
    }
    ASSERT_TRUE(full) << "the accept queue never filled";
    const DWORD limit = 800;
    PlatSocket s = PlatSocketOpenBlocking();
    DWORD start = GetTickCount();
    EXPECT_NE(0, PlatSocketConnectWait(s, "127.0.0.1", server.port(), limit));
    ExpectWithin({limit, GetTickCount() - start});
    PlatSocketClose(s);
    for (PlatSocket q : queued)
        PlatSocketClose(q);
}

}  // namespace
