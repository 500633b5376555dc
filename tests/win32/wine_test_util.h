// Helpers for tests that run against the real Win32 API (under Wine or Windows).
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/windows_win.h"

// Dispatches messages of this thread until `done` holds or `timeoutMs` passes; true if it held.
// Waits on the message queue between checks rather than sleeping a fixed time.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// A name no other test run on this machine uses at the same time.
std::string UniqueName(const char* stem);

// One message as a recording window saw it.
struct SeenMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// The agent's two windows, made through the seam (PlatCreateWindow), destroyed with it. The
// socket notifications that reach the main window are recorded here instead of reaching the
// core; one instance at a time.
class AgentWindows {
  public:
    AgentWindows();
    ~AgentWindows();
    AgentWindows(const AgentWindows&) = delete;
    AgentWindows& operator=(const AgentWindows&) = delete;

    bool ok() const { return main_ != nullptr && stats_ != nullptr; }
    HWND main() const { return main_; }
    HWND stats() const { return stats_; }
    const std::vector<SeenMessage>& seen() const { return seen_; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static AgentWindows* current_;
    HWND main_ = nullptr;
    HWND stats_ = nullptr;
    WNDPROC previous_ = nullptr;
    std::vector<SeenMessage> seen_;
};

// A loopback TCP listener on an ephemeral port, driven by the test with bounded waits.
class LoopbackListener {
  public:
    explicit LoopbackListener(int backlog = SOMAXCONN);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return listener_ != INVALID_SOCKET; }
    int port() const { return port_; }
    // The next connection within the bound, INVALID_SOCKET if none came; closed with the listener.
    SOCKET Accept(DWORD timeoutMs);

  private:
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::vector<SOCKET> accepted_;
};

// A port on 127.0.0.1 on which nothing listens (bound once, then released).
int ClosedLoopbackPort();
// Reads until `count` bytes came, the peer closed or `timeoutMs` passed; returns what came.
std::string ReceiveFor(SOCKET s, size_t count, DWORD timeoutMs);
// Starts the sockets library for the test process once.
void EnsureSockets();
