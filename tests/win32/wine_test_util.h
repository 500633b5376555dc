// Helpers for tests that run against the real Win32 API (under Wine or Windows).
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

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

// A hidden top-level window that records the messages it is sent or posted at or above
// WM_USER, for socket notifications and tray callbacks.
class RecordingWindow {
  public:
    RecordingWindow();
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    PlatWindow handle() const { return window_; }
    const std::vector<SeenMessage>& seen() const { return seen_; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
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
