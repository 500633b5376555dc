#include "core/schedule.h"

#include "platform/events.h"

namespace {

const int kTimerSlots = 16;
// A zero period would spin the loop.
const uint32_t kMinTimerPeriodMs = 10;
const int kQueueSize = 64;

struct Timer {
    int id;
    bool active;
    uint32_t period;
    uint64_t due;
};

Timer gTimers[kTimerSlots];
int gQueue[kQueueSize];
int gQueueHead = 0;
int gQueueCount = 0;

}  // namespace

void ScheduleSetTimer(int id, uint32_t periodMs, uint64_t now) {
    Timer* slot = nullptr;
    for (Timer& timer : gTimers)
        if (timer.active && timer.id == id) slot = &timer;
    for (Timer& timer : gTimers)
        if (!slot && !timer.active) slot = &timer;
    if (!slot) return;
    slot->id = id;
    slot->active = true;
    slot->period = periodMs < kMinTimerPeriodMs ? kMinTimerPeriodMs : periodMs;
    slot->due = now + slot->period;
}

void ScheduleKillTimer(int id) {
    for (Timer& timer : gTimers)
        if (timer.active && timer.id == id) timer.active = false;
}

uint64_t ScheduleNextDue(uint64_t limit) {
    for (const Timer& timer : gTimers)
        if (timer.active && timer.due < limit) limit = timer.due;
    return limit;
}

void ScheduleRunDue(uint64_t now) {
    for (Timer& timer : gTimers) {
        if (!timer.active || timer.due > now) continue;
        // Periodic: the next tick is a period after this one is handled, as with SetTimer.
        timer.due = now + timer.period;
        OnTimer(timer.id);
    }
}

bool SchedulePost(int id) {
    if (gQueueCount >= kQueueSize) return false;
    gQueue[(gQueueHead + gQueueCount) % kQueueSize] = id;
    gQueueCount++;
    return true;
}

bool ScheduleHasPosted() { return gQueueCount > 0; }

void ScheduleRunPosted(const bool* stop) {
    // Only what was posted before this round; commands posted by these wait for the next.
    int count = gQueueCount;
    while (count-- > 0 && gQueueCount > 0 && !*stop) {
        int id = gQueue[gQueueHead];
        gQueueHead = (gQueueHead + 1) % kQueueSize;
        gQueueCount--;
        OnCommand(id);
    }
}
