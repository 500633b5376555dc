// Every timer of the agent, its period and the limits that go with it, in milliseconds unless
// the name says otherwise.
#pragma once

#include <cstdint>

// Timer ids on the main window.
const int kTimerRequest = 1;    // request timeout
const int kTimerPing = 2;       // PING
const int kTimerHover = 4;      // hover guard
const int kTimerReconnect = 5;  // reconnect
const int kTimerTrayRetry = 7;  // adding the tray icon again until the shell takes it
const int kTimerWorld = 8;      // re-checking the session after a resume or a network change
const int kTimerWorldHeld = 9;  // the check held back by the rate of events

// After a resume or a network change: events this close together give one check, a failed
// check is tried again after 2, 4, 8 s ... (doubling), and none starts later than the window.
const uint32_t kWorldCoalesceMs = 1000;
const uint32_t kWorldFirstRetryMs = 2000;
const uint32_t kWorldWindowMs = 30000;
// However fast events come, checks for them start at least this far apart: the gap doubles
// with each check that follows its predecessor within kWorldCalmMs, up to the limit, and an
// event that came too soon gets one check once the gap is over.
const uint32_t kWorldMinGapMs = 2000;
const uint32_t kWorldMaxGapMs = 60000;
const uint32_t kWorldCalmMs = 120000;

// One request, from connect to the server's close (also bounds the session-end logoff).
const uint32_t kRequestTimeoutMs = 3500;
// PINGs: the first after a logon and each retry after a '2' answer, then the regular ones.
const uint32_t kFastPingMs = 2000;
const uint32_t kSlowPingMs = 300000;
// Hovering over the icon sends at most one PING per this time.
const uint32_t kHoverGuardMs = 5000;
// A tray icon the shell refused is tried again at this period.
const uint32_t kTrayRetryMs = 2000;
// How long a start waits for an abandoned instance mutex.
const uint32_t kInstanceWaitMs = 1000;

// The PING interval a LOGON reply '3' may ask for, in seconds; outside the range the default.
const int kPingIntervalMinSeconds = 20;
const int kPingIntervalMaxSeconds = 1800;
const int kPingIntervalDefaultSeconds = 90;
inline uint32_t PingIntervalMs(int seconds) {
    if (seconds < kPingIntervalMinSeconds || seconds > kPingIntervalMaxSeconds)
        seconds = kPingIntervalDefaultSeconds;
    return static_cast<uint32_t>(seconds) * 1000;
}

// PINGs answered '2' are retried at kFastPingMs until they span this long: access denied.
const int64_t kAccessDeniedMs = 15000;

// Reconnecting after a LOGON refused with '0': the delay grows by half each time and starts
// over once it passes the limit.
const uint32_t kRetryDelayStart = 60000;
const uint32_t kRetryDelayLimit = 1200000;
inline uint32_t NextRetryDelay(uint32_t delay) {
    uint32_t next = delay * 15 / 10;
    return next > kRetryDelayLimit ? kRetryDelayStart : next;
}
