// The connection engine: one request at a time over a non-blocking socket.
#pragma once

// ConnState values: which request is in flight and at which stage.
enum ConnState {
    kIdle = 0,
    kLogonConnecting = 1,
    kLogonWriting = 2,
    kLogonReading = 3,
    kLogoutConnecting = 4,
    kLogoutWriting = 5,
    kLogoutReading = 6,
    kPingConnecting = 7,
    kPingWriting = 8,
    kPingReading = 9,
    kInfoConnecting = 10,
    kInfoWriting = 11,
    kInfoReading = 12,
};

// Starts the request composed in ioBuffer; connState is already 1, 4, 7 or 10.
void OpenConnection();
// The one way a failed request is reported; resets the session (sessionId is kept).
void NetworkError(const char* reason);
// Timer 1.
void OnRequestTimeout();
