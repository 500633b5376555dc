// The connection engine: one request at a time over a non-blocking socket.
#pragma once

#include "platform/events.h"

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

#include "platform/platform.h"

// How a socket event or the request timer left the request in flight: the engine's one report
// upward (app/commands.cpp acts on it).
enum RequestEnd {
    kRequestGoesOn,       // nothing ended
    kRequestReplied,      // the server closed after a reply: it is in ioBuffer, and connState
                          // still names the request it answers
    kRequestClosedEmpty,  // the server closed without a reply (already reported)
    kRequestFailed,       // a network error or a time-out (already reported)
};

// Starts the request composed in ioBuffer; connState is already 1, 4, 7 or 10.
void OpenConnection();
// The one way a failed request is reported, with its cause for the user; resets the session
// (sessionId is kept).
void NetworkError(const char* reason, FailCause cause);
// A socket event of the platform.
RequestEnd EngineSocketEvent(PlatSocket socket, PlatSocketEvent event, PlatNetError error);
// Timer 1.
RequestEnd EngineRequestTimeout();
