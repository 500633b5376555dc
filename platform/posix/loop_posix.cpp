// The poll loop: clock, timers, posted commands, the descriptors it watches and the stop
// signals; message boxes go to standard error. Windows and the menu are a face's, when a front
// end has one (the Linux tray); otherwise the control socket reads the core's view and calls its
// commands.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/cp1251.h"
#include "core/schedule.h"
#include "platform/events.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// The loop wakes at least this often, so that a resume is seen even when no timer runs.
const uint32_t kResumeCheckMs = 300000;

bool gQuitPosted = false;
int gQuitCode = 0;

// ---- Watchers ----

const int kWatchSlots = 32;
PosixWatch gWatches[kWatchSlots];
int gWatchCount = 0;
bool gWakeSoon = false;
uint64_t gWakeAt = 0;  // 0: none

const int kHookSlots = 8;
PosixRoundHooks gHooks[kHookSlots];
int gHookCount = 0;

bool HooksPending() {
    for (int i = 0; i < gHookCount; i++)
        if (gHooks[i].pending && gHooks[i].pending()) return true;
    return false;
}

// Runs one kind of hook of every part, in the order they joined.
template <typename Call> void EachHook(Call call) {
    for (int i = 0; i < gHookCount; i++)
        call(gHooks[i]);
}

// ---- Signals ----

int gSignalPipe[2] = {-1, -1};
int gSignalsSeen = 0;

void OnSignal(int) {
    char byte = 1;
    // A full pipe already holds a wake-up; nothing else is safe to do here.
    ssize_t ignored = write(gSignalPipe[1], &byte, 1);
    (void)ignored;
}

short WantSignal(int) { return POLLIN; }

// The first stop request ends the agent as Exit does (logging off first, and quitting once the
// logoff is answered or has failed); a second one ends it at once.
void SignalReady(int fd, short) {
    char bytes[16];
    ssize_t n = read(fd, bytes, sizeof bytes);
    if (n <= 0) return;
    gSignalsSeen += static_cast<int>(n);
    if (gSignalsSeen == static_cast<int>(n)) {
        OnStopRequest();
    } else {
        PlatPostQuit(0);
    }
}

int PollTimeout(uint64_t now) {
    if (ScheduleHasPosted() || gQuitPosted || gWakeSoon || HooksPending()) return 0;
    // The slow check for a resume: the loop wakes at least every five minutes (the agent's own
    // timers wake it more often, and every wake-up checks too).
    uint64_t limit = now + kResumeCheckMs;
    if (gWakeAt != 0 && gWakeAt < limit) limit = gWakeAt;
    limit = ScheduleNextDue(limit);
    return limit <= now ? 0 : static_cast<int>(limit - now);
}

void RunReadyDescriptors(const pollfd* polled, int count) {
    for (int i = 0; i < count && !gQuitPosted; i++) {
        if (polled[i].revents == 0) continue;
        // A handler may have removed or replaced a watch: only one still registered counts.
        for (int w = 0; w < gWatchCount; w++) {
            if (gWatches[w].fd == polled[i].fd) {
                gWatches[w].ready(polled[i].fd, polled[i].revents);
                break;
            }
        }
    }
}

}  // namespace

uint64_t PosixMonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

uint32_t PlatNowMs() { return static_cast<uint32_t>(PosixMonotonicMs()); }

void PlatSetTimer(int id, uint32_t periodMs) { ScheduleSetTimer(id, periodMs, PosixMonotonicMs()); }

void PlatKillTimer(int id) { ScheduleKillTimer(id); }

bool PosixWatchAdd(const PosixWatch& watch) {
    for (int w = 0; w < gWatchCount; w++) {
        if (gWatches[w].fd == watch.fd) {
            gWatches[w] = watch;
            return true;
        }
    }
    if (gWatchCount >= kWatchSlots) return false;
    gWatches[gWatchCount++] = watch;
    return true;
}

void PosixWatchRemove(int fd) {
    for (int w = 0; w < gWatchCount; w++) {
        if (gWatches[w].fd == fd) {
            gWatches[w] = gWatches[--gWatchCount];
            return;
        }
    }
}

void PosixWakeSoon() { gWakeSoon = true; }

bool PosixAddRoundHooks(const PosixRoundHooks& hooks) {
    if (gHookCount >= kHookSlots) return false;
    gHooks[gHookCount++] = hooks;
    return true;
}

bool PosixQuitPosted() { return gQuitPosted; }

void PosixWakeAt(uint64_t monotonicMs) {
    if (gWakeAt == 0 || monotonicMs < gWakeAt) gWakeAt = monotonicMs;
}

void PosixSignalsStart() {
    if (gSignalPipe[0] >= 0) return;
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(gSignalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    PosixWatchAdd({gSignalPipe[0], WantSignal, SignalReady});
}

// The logon form is the view's, the statistics text is read from it; a face shows what it can.
const PosixFace* gFace = nullptr;
void PosixSetFace(const PosixFace* face) { gFace = face; }
bool PlatCreateWindow(PlatWindowId) { return true; }
void PlatDestroyWindows() {}
void PlatShowWindow(PlatWindowId which, bool visible) {
    if (gFace) gFace->showWindow(which, visible);
}
void PlatShowLogonForm() {}
bool PlatReadLogonForm(char*, size_t, char*, size_t, bool*) { return false; }
void PlatShowStatistics() {
    if (gFace) gFace->showStatistics();
}
bool PlatMenuLoad() { return gFace && gFace->menuLoad(); }
void PlatMenuCheck(int id, bool checked) {
    if (gFace) gFace->menuCheck(id, checked);
}
void PlatMenuGray(int id, bool grayed) {
    if (gFace) gFace->menuGray(id, grayed);
}
void PlatMenuShow() {
    if (gFace) gFace->menuShow();
}

void PlatPostCommand(int id) { SchedulePost(id); }

void PlatPostQuit(int exitCode) {
    if (gQuitPosted) return;
    gQuitPosted = true;
    gQuitCode = exitCode;
}

int PlatRunLoop() {
    PosixSignalsStart();
    pollfd polled[kWatchSlots];
    while (!gQuitPosted) {
        ScheduleRunPosted(&gQuitPosted);
        if (gQuitPosted) break;
        EachHook([](const PosixRoundHooks& h) {
            if (h.deliver) h.deliver();
        });
        int count = 0;
        for (int w = 0; w < gWatchCount; w++) {
            short events = gWatches[w].want(gWatches[w].fd);
            if (events == 0) continue;
            polled[count].fd = gWatches[w].fd;
            polled[count].events = events;
            polled[count].revents = 0;
            count++;
        }
        int timeout = PollTimeout(PosixMonotonicMs());
        gWakeSoon = false;
        gWakeAt = 0;
        int ready = poll(polled, static_cast<nfds_t>(count), timeout);
        if (ready < 0 && errno != EINTR) break;
        EachHook([](const PosixRoundHooks& h) {
            if (h.woke) h.woke();
        });
        if (ready > 0) RunReadyDescriptors(polled, count);
        if (!gQuitPosted) ScheduleRunDue(PosixMonotonicMs());
        EachHook([](const PosixRoundHooks& h) {
            if (h.after) h.after();
        });
    }
    EachHook([](const PosixRoundHooks& h) {
        if (h.stop) h.stop(gQuitCode);
    });
    return gQuitCode;
}

void PlatMessageBox(bool, const char* text, const char* caption, PlatBoxKind kind) {
    // The caption says whose message it is; the text is what the user needs.
    std::string line = Cp1251ToUtf8(caption ? caption : "");
    line += ": ";
    line += Cp1251ToUtf8(text ? text : "");
    PosixReportError(line);
    if (gFace) gFace->messageBox(text, caption, kind);
}
