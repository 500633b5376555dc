// What the files of the POSIX front end share: the poll loop's watchers, the control socket, the
// change sources, the folders, the lock and the log. Nothing here is seen by the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// ---- The loop ----

// A descriptor the loop polls. `want` is asked before every poll for the events to wait for
// (0 leaves the descriptor out this round); `ready` gets what poll reported.
struct PosixWatch {
    int fd;
    short (*want)(int fd);
    void (*ready)(int fd, short revents);
};
bool PosixWatchAdd(const PosixWatch& watch);
void PosixWatchRemove(int fd);
// Makes the next poll return at once (an event is pending that no descriptor will report).
void PosixWakeSoon();
// True once PlatPostQuit has run: the loop ends after this round.
bool PosixQuitPosted();
// Makes the poll return by `monotonicMs` at the latest (this round only).
void PosixWakeAt(uint64_t monotonicMs);
// Milliseconds on the monotonic clock, not wrapped.
uint64_t PosixMonotonicMs();
// What a part of the front end does at each round of the loop; any of them may be null.
struct PosixRoundHooks {
    bool (*pending)();  // events are waiting that no descriptor will report: poll at once
    void (*deliver)();  // before each poll: hand those over
    void (*woke)();     // after each poll
    void (*after)();    // at the end of each round
    void (*stop)(int);  // the loop ends with this code
};
bool PosixAddRoundHooks(const PosixRoundHooks& hooks);
// A desktop face (the Linux tray) shows the windows, the menu and the boxes its own way; without
// one the windows and the menu are nothing and a box is a line on standard error.
struct PosixFace {
    void (*showWindow)(PlatWindowId which, bool visible);
    void (*showStatistics)();
    bool (*menuLoad)();
    void (*menuCheck)(int id, bool checked);
    void (*menuGray)(int id, bool grayed);
    void (*menuShow)();
    void (*messageBox)(const char* text, const char* caption,
                       PlatBoxKind kind);  // besides the line
};
void PosixSetFace(const PosixFace* face);

// ---- The control socket (control_posix.cpp) ----
// Opens it (and joins the loop); false, with the reason told, when it cannot be made.
bool PosixControlStart();

// ---- Change sources (world_posix.cpp) ----
void PosixWorldStart();
// The boot-time clock's lead over the monotonic one now: a jump since the last reading is the time
// the machine slept (each wake-up of the loop reads the clocks and calls this).
void PosixWorldClockGap(int64_t gapMs);

// ---- The machine policy and the support log (admin_posix.cpp) ----
const char kPolicyPath[] = "/etc/vornaagent/policy.conf";
// Reads the policy file: no file is no policy; one that cannot be read, or any bad line, is a
// failure with the reason in `error` (a machine policy never fails open).
bool PosixLoadPolicy(const std::string& path, std::string* error);
bool PosixDebugLogOpen();
void PosixDebugLogWrite(const std::string& utf8Line);

// ---- Signals (loop_posix.cpp) ----
void PosixSignalsStart();

// ---- The single-instance lock ----
// Takes the lock once, before the core starts (PlatCreateInstanceMutex then reports the same):
// kMutexFailed means the lock file could not be used at all, which is a failure to start, not
// another agent.
PlatMutexResult PosixTakeInstanceLock();

// ---- Folders ----
// $XDG_RUNTIME_DIR when it is the user's own with no access for others, otherwise
// /tmp/vornaagent-UID created 0700 and checked the same way; empty when neither is private.
std::string PosixRuntimeDir();
// A router account's agent: the runtime folder is `dir` (made 0700 when missing, used only when
// it is this user's with no access for others), the socket and the lock `instance`.sock/.lock.
void PosixUseSystemDir(const std::string& dir, const std::string& instance);
// Why PosixRuntimeDir() is empty, for the user.
std::string PosixRuntimeDirProblem();
// $XDG_CONFIG_HOME, or ~/.config.
std::string PosixConfigHome();
// Empty without a private runtime folder.
std::string PosixControlSocketPath();

// ---- Text ----
// Writes a whole line (UTF-8) to stderr.
void PosixReportError(const std::string& utf8);

// ---- The settings file: $XDG_CONFIG_HOME/vornaagent/settings (or ~/.config/...) ----
std::string PosixSettingsPath();
// The settings are kept in memory only (the router's: its configuration is the UCI file, and
// nothing is written to flash); call before the core starts.
void PosixKeepSettingsInMemory();

// ---- Sockets ----
// Binds every connection of the agent to the network device `name` (SO_BINDTODEVICE); a
// connection that cannot be bound fails, with the reason on stderr. Empty: any device.
void PosixBindToDevice(const std::string& name);
const std::string& PosixBoundDevice();

// ---- The program's own path ----
// The installed path of the running program (after an upgrade replaced it, the new file's).
void PosixProgramPath(char* buffer, size_t size);
