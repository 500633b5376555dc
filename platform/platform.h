// The seam between the agent's portable core and a front end: what the core asks of the
// platform it runs on. platform/win32 implements it for the Windows tray program,
// platform/posix for the Linux agent, tests/fake for the core's tests; platform/events.h is the
// other direction. Every call is made from the one thread that runs the loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/account_view.h"

typedef intptr_t PlatSocket;
const PlatSocket kNoSocket = -1;

// ---- Clock and timers: the ids and periods are the core's (core/timings.h) ----

// Milliseconds from an arbitrary origin; wraps like a 32-bit tick count.
uint32_t PlatNowMs();
// Starts or restarts the periodic timer `id`; each tick is OnTimer(id).
void PlatSetTimer(int id, uint32_t periodMs);
// Stops timer `id`; stopping a stopped timer is harmless.
void PlatKillTimer(int id);

// ---- Sockets: events arrive as OnSocketEvent ----

enum PlatSocketsStart { kSocketsReady, kSocketsFailed, kSocketsUnsupported };
// Makes sockets usable for the process: ready, failed, or a library the agent cannot use.
PlatSocketsStart PlatSocketsStartup();
// A new non-blocking IPv4 stream socket, kNoSocket on failure.
PlatSocket PlatSocketOpen();
// What the engine waits for next; a close is always reported.
enum SocketWait { kWaitConnect, kWaitWrite, kWaitRead };
void PlatSocketWait(PlatSocket s, SocketWait what);
// Starts a connect to the dotted address and port; the outcome arrives as kSocketConnected.
void PlatSocketConnect(PlatSocket s, const char* address, int port);
// PlatSocketSend's result when the socket takes nothing more for now; kSocketWritable follows
// once it can (and only then: none comes after a send that took part of the data).
const int kSendWouldBlock = -2;
// Sends up to `length` bytes; the count sent, kSendWouldBlock, or another value <= 0 on error.
int PlatSocketSend(PlatSocket s, const uint8_t* data, int length);
// Receives up to `length` bytes: the count, 0 when the peer has closed in order, -1 when nothing
// has arrived yet, kRecvFailed when the connection ended in an error (a reset, an abort), even
// where the system reports such an end as an empty read.
const int kRecvFailed = -2;
int PlatSocketRecv(PlatSocket s, uint8_t* data, int length);
// Shuts both directions down (the socket stays open until PlatSocketClose).
void PlatSocketShutdown(PlatSocket s);
// Closes the socket and drops the events still queued for it (the handle value may be reused by
// the next socket); kNoSocket is ignored.
void PlatSocketClose(PlatSocket s);

// Blocking exchange used only while the system ends the user's session: a blocking socket with
// no events. Each call waits at most `timeoutMs`; results as above, < 0 on time-out.
PlatSocket PlatSocketOpenBlocking();
int PlatSocketConnectWait(PlatSocket s, const char* address, int port, uint32_t timeoutMs);
int PlatSocketSendWait(PlatSocket s, const uint8_t* data, int length, uint32_t timeoutMs);
int PlatSocketRecvWait(PlatSocket s, uint8_t* data, int length, uint32_t timeoutMs);

// ---- What the user sees: the front end shows gAgent.view ----

enum PlatWindowId { kWindowLogon, kWindowStats };
// Creates the window, hidden; false on failure. A front end without windows returns true.
bool PlatCreateWindow(PlatWindowId which);
void PlatDestroyWindows();
void PlatShowWindow(PlatWindowId which, bool visible);
// Fills the logon window from view.form (the password field shows a stand-in while
// view.form.passwordRemembered; the remember box is greyed unless view.form.rememberAllowed).
void PlatShowLogonForm();
// The logon window's fields as the user left them: the login (at most size - 1 characters), the
// password (likewise, when `password` is not nullptr) and the remember box. False where the front
// end has no logon window: the core's view.form is the form then.
bool PlatReadLogonForm(char* login, size_t loginSize, char* password, size_t passwordSize,
                       bool* remember);
// Shows view.statistics in the statistics window.
void PlatShowStatistics();

enum PlatTrayAction { kTrayAdd, kTrayModify, kTrayDelete };
// The tray icon: view.icon when `icon`, view.tooltip when `tip`; the statistics window's icon
// follows the picture. Returns whether the shell took the update (true without a tray).
bool PlatTrayNotify(PlatTrayAction action, bool icon, bool tip);
// A notification of an account change (title <= 63, text <= 255 characters).
bool PlatNotify(const char* title, const char* text);

enum PlatBoxKind { kBoxError, kBoxWarning, kBoxInformation };
// A message box, owned by the logon window when `owned`; returns when the user has closed it.
void PlatMessageBox(bool owned, const char* text, const char* caption, PlatBoxKind kind);

// The tray menu: loaded afresh, items checked and greyed by command id, then shown at the
// cursor; a chosen item arrives as OnCommand. PlatMenuShow also destroys it.
bool PlatMenuLoad();
void PlatMenuCheck(int id, bool checked);
void PlatMenuGray(int id, bool grayed);
void PlatMenuShow();

// ---- The loop ----

// Has OnCommand(id) run on the next round of the loop.
void PlatPostCommand(int id);
// Ends the loop with `exitCode`.
void PlatPostQuit(int exitCode);
// Runs the loop until the quit; returns the quit code.
int PlatRunLoop();

// ---- World changes ----

// Asks for OnWorldChange whenever the local IPv4 address list changes; false when the system
// cannot tell.
bool PlatWatchAddressList();
// Whether the machine has an IPv4 address other than loopback now; true when it cannot tell.
bool PlatHasNetworkAddress();

// ---- Settings, the start at logon, the machine's policy ----

// Reads the user's stored settings; values that are absent are !present. False when the store
// cannot be opened at all (the record is then all absent).
bool PlatLoadSettings(StoredSettings* settings);
// Writes the values marked kStoredWrite and deletes those marked kStoredDelete; the rest stay as
// they are. False when any of that did not reach the store.
bool PlatSaveSettings(const StoredSettings& settings);
AutostartState PlatAutostartState();
// Starts the running program at the user's logon, or not; false when that could not be done.
bool PlatSetAutostart(bool on);
// Reads the policy values names[0..count) (count <= kPolicyMaxValues) into `record`:
// machine[i] as the machine has it (on Windows HKLM, its 64-bit view first, then the 32-bit one),
// user[i] as the user has it (HKCU); everything else zeroed. Where the values are kept is the
// front end's.
void PlatLoadPolicy(const char* const* names, int count, PlatPolicyRecord* record);

// ---- Process ----

enum PlatMutexResult { kMutexCreated, kMutexExisted, kMutexFailed };
// Takes the single-instance guard, held until the process ends. kMutexFailed when it cannot be
// created (on Windows: access denied, an elevated agent holds it).
PlatMutexResult PlatCreateInstanceMutex(const char* name);
// Waits for the guard up to timeoutMs; true when the wait reports it abandoned.
bool PlatWaitInstanceMutexAbandoned(uint32_t timeoutMs);
// Makes debug output available: the existing standard output when it is usable, otherwise a
// new console (on Windows) with standard input and output on it.
void PlatOpenDebugOutput();
// Opens the support log at `path` (environment variables expanded) for appending; debug lines
// then also go there in UTF-8, a log past about 1 MB moving to `path`.1 first. False when it
// cannot be opened.
bool PlatOpenDebugLog(const char* path);
// Writes one line of the agent's text and a line end: to the debug output when it was opened (or
// no log is open), and to the support log if one is open.
void PlatDebugWrite(const char* ansiText);
