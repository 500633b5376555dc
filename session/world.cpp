#include "session/world.h"

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "platform/events.h"
#include "session/control.h"
#include "session/engine.h"

namespace {

enum WorldRequest { kWorldNone = 0, kWorldPing, kWorldLogon, kWorldLogout, kWorldOther };

bool MayLogOnAlone() {
    return gAgent.autoReconnect && !gAgent.mainWindowVisible && !gAgent.logonBackoff;
}

// True once `moment` is later than `deadline` on the wrapping millisecond clock.
bool Passed(uint32_t moment, uint32_t deadline) {
    return static_cast<int32_t>(moment - deadline) > 0;
}

void EndEpisode() {
    gAgent.worldRetryPending = false;
    gAgent.worldEpisode = false;
    gAgent.worldRequest = kWorldNone;
    PlatKillTimer(kTimerWorld);
}

// The next re-check after a failure for network reasons, while it starts within the window.
void ScheduleRetry() {
    uint32_t delay = gAgent.worldNextDelay;
    if (Passed(PlatNowMs() + delay, gAgent.worldDeadlineMs)) {
        EndEpisode();  // the ordinary timers take over
        return;
    }
    gAgent.worldNextDelay = delay * 2;
    gAgent.worldRetryPending = true;
    PlatSetTimer(kTimerWorld, delay);
}

void LogOnAgain() {
    // A PING lost without an answer leaves the session marked open; after a sleep the server
    // has most likely dropped it, and the new logon replaces it.
    CloseSession(kSessionLost);
    // The server may still hold it, though: it is logged off first (once), so that no session
    // of ours is left open there.
    if (gAgent.sessionAtServer && !gAgent.worldLogoutTried) {
        gAgent.worldLogoutTried = true;
        gAgent.worldRequest = kWorldLogout;
        StartStaleLogout();
        return;
    }
    gAgent.worldLogoutTried = false;
    gAgent.worldRequest = kWorldLogon;
    StartLogon();
}

void SendCheckPing() {
    gAgent.worldRequest = kWorldPing;
    gAgent.worldSawEnd = false;
    SendPing();
}

// The re-check: a PING for an open session, a logon when the agent may log on by itself.
void Check() {
    if (gAgent.connState != kIdle) {
        // The request under way answers for the world as well; it is judged when it ends.
        bool ping = gAgent.connState >= kPingConnecting && gAgent.connState <= kPingReading;
        bool logon = gAgent.connState >= kLogonConnecting && gAgent.connState <= kLogonReading;
        gAgent.worldRequest = ping ? kWorldPing : logon ? kWorldLogon : kWorldOther;
        gAgent.worldSawEnd = false;
        return;
    }
    if (gAgent.sessionActive) {
        SendCheckPing();
    } else if (MayLogOnAlone()) {
        LogOnAgain();
    } else {
        EndEpisode();
    }
}

}  // namespace

namespace {

// A check for an event, at most one per gap: a storm of changes (a flapping link, a DHCP client
// gone wrong) costs a few requests a minute, never one per change.
void StartEpisode(uint32_t now) {
    uint32_t gap = kWorldMinGapMs;
    if (gAgent.worldChecked && now - gAgent.worldLastCheckMs < kWorldCalmMs)
        gap = gAgent.worldGapMs * 2 > kWorldMaxGapMs ? kWorldMaxGapMs : gAgent.worldGapMs * 2;
    gAgent.worldGapMs = gap < kWorldMinGapMs ? kWorldMinGapMs : gap;
    gAgent.worldChecked = true;
    gAgent.worldLastCheckMs = now;
    gAgent.worldDeadlineMs = now + kWorldWindowMs;
    // A retry already waits for the network: it is the check, on its own growing schedule.
    if (gAgent.worldEpisode && gAgent.worldRetryPending) return;
    gAgent.worldEpisode = true;
    gAgent.worldNextDelay = kWorldFirstRetryMs;
    PlatKillTimer(kTimerWorld);
    if (gAgent.worldRequest != kWorldNone) return;  // the re-check under way answers this too
    Check();
}

}  // namespace

void OnWorldChange(const char* what) {
    DebugPrint("Событие: %s", what);
    uint32_t now = PlatNowMs();
    bool burst = gAgent.worldSeenEvent && now - gAgent.worldLastEventMs < kWorldCoalesceMs;
    gAgent.worldSeenEvent = true;
    gAgent.worldLastEventMs = now;
    if (burst) return;
    uint32_t since = now - gAgent.worldLastCheckMs;
    if (gAgent.worldChecked && since < gAgent.worldGapMs) {
        // Too soon after the last check: one more check once the gap is over sees this change
        // and every other that comes until then.
        if (!gAgent.worldHeld) PlatSetTimer(kTimerWorldHeld, gAgent.worldGapMs - since);
        gAgent.worldHeld = true;
        return;
    }
    StartEpisode(now);
}

void OnWorldHeldTimer() {
    PlatKillTimer(kTimerWorldHeld);
    if (!gAgent.worldHeld) return;
    gAgent.worldHeld = false;
    StartEpisode(PlatNowMs());
}

void WorldRequestEnded(bool networkFailure) {
    int request = gAgent.worldRequest;
    gAgent.worldRequest = kWorldNone;
    if (request == kWorldNone || !gAgent.worldEpisode) return;
    switch (request) {
        case kWorldPing:
            if (networkFailure || gAgent.worldSawEnd) {
                if (MayLogOnAlone()) {
                    LogOnAgain();
                } else if (networkFailure && gAgent.sessionActive) {
                    ScheduleRetry();  // still counted open: PING again on the schedule
                } else {
                    EndEpisode();
                }
            } else {
                EndEpisode();
            }
            break;
        case kWorldLogout:
            // Answered or not, the LOGOUT was tried: the logon follows, at once when the
            // network carried the LOGOUT, on the retry schedule when it did not.
            if (networkFailure) {
                ScheduleRetry();
            } else if (MayLogOnAlone()) {
                LogOnAgain();
            } else {
                EndEpisode();
            }
            break;
        case kWorldLogon:
            if (networkFailure) {
                ScheduleRetry();
            } else {
                EndEpisode();
            }
            break;
        default: Check(); break;
    }
}

void OnWorldTimer() {
    PlatKillTimer(kTimerWorld);
    gAgent.worldRetryPending = false;
    if (!gAgent.worldEpisode || gAgent.worldRequest != kWorldNone) return;
    if (Passed(PlatNowMs(), gAgent.worldDeadlineMs)) {
        EndEpisode();
        return;
    }
    Check();
}

void StartWorldWatch() {
    if (!PlatWatchAddressList()) DebugPrint("Изменения сетевых адресов не отслеживаются");
}
