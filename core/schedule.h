// The agent's timers and posted commands for a front end whose loop has neither (the POSIX poll
// loop): the core keeps them, the front end asks when to wake and runs what is due. Times are
// milliseconds on a clock the front end chooses, not wrapped.
#pragma once

#include <cstdint>

// Starts or restarts timer `id`: due a period after `now`, then every period after it ran.
void ScheduleSetTimer(int id, uint32_t periodMs, uint64_t now);
void ScheduleKillTimer(int id);
// The earliest due time of a running timer, or `limit` when that is earlier.
uint64_t ScheduleNextDue(uint64_t limit);
// Runs (OnTimer) every timer due by `now`.
void ScheduleRunDue(uint64_t now);
// Queues a command for the next round; false when the queue is full.
bool SchedulePost(int id);
bool ScheduleHasPosted();
// Runs (OnCommand) what was posted before this call, while `stop` stays false.
void ScheduleRunPosted(const bool* stop);
