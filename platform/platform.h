// The few things the agent needs from the operating system. The core calls only these;
// platform/win32 implements them with the real API, tests/fake with a recording fake.
// Every call is made from the one user-interface thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Opaque handles: a window, an icon, a socket, a registry key, a loaded menu.
typedef void* PlatWindow;
typedef void* PlatIcon;
typedef void* PlatKey;
typedef void* PlatMenu;
typedef intptr_t PlatSocket;
const PlatSocket kNoSocket = -1;

// Socket event bits, also the notification masks (the same numbers as Winsock's FD_*).
const int kEventRead = 1;
const int kEventWrite = 2;
const int kEventConnect = 16;
const int kEventClose = 32;

// ---- Clock and timers (timers post ticks to the window, ids are small integers) ----

// Milliseconds from an arbitrary origin; wraps like GetTickCount.
uint32_t PlatNowMs();
// Starts or restarts the periodic timer `id` of `window`.
void PlatSetTimer(PlatWindow window, int id, uint32_t periodMs);
// Stops timer `id`; stopping a stopped timer is harmless.
void PlatKillTimer(PlatWindow window, int id);

// ---- Sockets ----

// Starts the sockets library asking for 2.2; false on failure, *version gets the offered one
// as major * 256 + minor.
bool PlatSocketsStartup(int* version);
void PlatSocketsCleanup();
// A new non-blocking IPv4 stream socket, kNoSocket on failure.
PlatSocket PlatSocketOpen();
// Asks for the events in `mask` as socket notifications to `window` (replaces the previous mask).
// Each notification carries an error code: for kEventClose, 0 for an orderly close and the
// system's code for a reset or an abort.
void PlatSocketSelect(PlatSocket s, PlatWindow window, int mask);
// Starts a connect to the dotted address and port; the outcome arrives as kEventConnect.
void PlatSocketConnect(PlatSocket s, const char* address, int port);
// PlatSocketSend's result when the socket takes nothing more for now; a write event follows
// once it can (and only then: no write event comes after a send that took part of the data).
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
// Closes the socket and drops the notifications still queued for it (the handle value is
// reused by the next socket); kNoSocket is ignored.
void PlatSocketClose(PlatSocket s);

// Blocking exchange used only while Windows ends the session: a blocking socket with no
// notifications. Each call waits at most `timeoutMs`; results as above, < 0 on time-out.
PlatSocket PlatSocketOpenBlocking();
int PlatSocketConnectWait(PlatSocket s, const char* address, int port, uint32_t timeoutMs);
int PlatSocketSendWait(PlatSocket s, const uint8_t* data, int length, uint32_t timeoutMs);
int PlatSocketRecvWait(PlatSocket s, uint8_t* data, int length, uint32_t timeoutMs);

// ---- Windows and controls ----

enum PlatDialog { kDialogLogon, kDialogStats };
// Creates the modeless dialog (hidden, no owner); nullptr on failure.
PlatWindow PlatCreateDialog(PlatDialog which);
void PlatDestroyWindow(PlatWindow window);
void PlatShowWindow(PlatWindow window, bool visible);
// Copies at most size - 1 characters of control `id` into `buffer`, always NUL-terminated.
void PlatGetItemText(PlatWindow window, int id, char* buffer, size_t size);
void PlatSetItemText(PlatWindow window, int id, const char* text);
bool PlatIsItemChecked(PlatWindow window, int id);
void PlatSetItemChecked(PlatWindow window, int id, bool checked);
// Enables or greys a control of a dialog.
void PlatSetItemEnabled(PlatWindow window, int id, bool enabled);
// Shows `icon` in the icon control `id` (STM_SETICON).
void PlatSetItemIcon(PlatWindow window, int id, PlatIcon icon);
// Loads an icon group of the executable by resource id (the system's standard size).
PlatIcon PlatLoadIcon(int resourceId);

// Posts command `id` to `window` as if its control had been used.
void PlatPostCommand(PlatWindow window, int id);
// Posts an empty message, so that a tracked menu closes properly.
void PlatPostNull(PlatWindow window);
// Posts the quit message that ends the message loop with `exitCode`.
void PlatPostQuit(int exitCode);
// Runs the message loop, offering messages to both dialogs first; returns the quit code.
int PlatRunMessageLoop(PlatWindow statsWindow, PlatWindow mainWindow);

enum PlatBoxKind { kBoxError, kBoxWarning, kBoxInformation };
// A message box; owner may be nullptr. Returns when the user closes it.
void PlatMessageBox(PlatWindow owner, const char* text, const char* caption, PlatBoxKind kind);

// ---- Tray icon ----

enum PlatTrayAction { kTrayAdd, kTrayModify, kTrayDelete };
// Shell_NotifyIcon for (window, id 0) with the tray callback message; icon and tip may be nullptr,
// which leaves them out of the update. Returns the shell's result.
bool PlatTrayNotify(PlatTrayAction action, PlatWindow window, PlatIcon icon, const char* tip);
// Shows a balloon notification from the tray icon of `window` (title <= 63, text <= 255 chars).
bool PlatTrayBalloon(PlatWindow window, const char* title, const char* text);

// ---- World changes ----

// Asks for a notification to `window` whenever the local IPv4 address list changes (the
// platform then calls OnWorldChange); false when the system cannot give it.
bool PlatWatchAddressList(PlatWindow window);

// ---- Tray menu ----

// Loads the tray menu template afresh; nullptr on failure.
PlatMenu PlatMenuLoad();
void PlatMenuCheck(PlatMenu menu, int id, bool checked);
// Greys (disabled) or enables item `id`.
void PlatMenuGray(PlatMenu menu, int id, bool grayed);
// Brings `owner` to the foreground and tracks the first popup at the cursor; a chosen item
// arrives as a command to `owner`.
void PlatMenuTrack(PlatMenu menu, PlatWindow owner);
void PlatMenuDestroy(PlatMenu menu);

// ---- Registry (HKEY_CURRENT_USER) ----

enum PlatValueType {
    kValueNone = 0,
    kValueString = 1,
    kValueBinary = 3,
    kValueDword = 4,
    kValueOther = 99
};
// Opens the key, creating it if absent; nullptr on failure.
PlatKey PlatRegCreateKey(const char* path);
// Reads value `name` into at most *size bytes. True on success with *size set to the bytes read
// (and *type if not nullptr); false leaves the buffer untouched (too small counts as failure).
bool PlatRegQuery(PlatKey key, const char* name, void* data, uint32_t* size, PlatValueType* type);
bool PlatRegSet(PlatKey key, const char* name, PlatValueType type, const void* data, uint32_t size);
bool PlatRegDelete(PlatKey key, const char* name);
void PlatRegClose(PlatKey key);
// The start-at-logon entry: how string value `name` compares with the running program's full
// path, as the system stores both (nothing is lost to the agent's code page on the way).
enum PlatPathMatch { kPathAbsent, kPathOther, kPathSame };
PlatPathMatch PlatRegMatchProgramPath(PlatKey key, const char* name);
// Writes the running program's full path as string value `name`.
bool PlatRegSetProgramPath(PlatKey key, const char* name);

// ---- Policy (set by an administrator; read, never created or written) ----

const size_t kPolicyTextSize = 261;
const int kPolicyMaxValues = 8;
// One policy value as found. type: kValueNone when absent, kValueDword (a 4-byte DWORD) with
// `number`, kValueString (a string or an expandable string, its variables left as they are) with
// `text`, kValueOther for any other type, size, or a text longer than kPolicyTextSize - 1.
struct PlatPolicyValue {
    PlatValueType type;
    uint32_t number;
    char text[kPolicyTextSize];
    const char* where;  // the place it was read from, for the debug output; nullptr when absent
};
// The policy values of one name list, as the machine and as the user have them.
struct PlatPolicyRecord {
    PlatPolicyValue machine[kPolicyMaxValues];
    PlatPolicyValue user[kPolicyMaxValues];
};
// Reads values names[0..count) of policy key `path` into `record` (count <= kPolicyMaxValues):
// machine[i] from the machine's key (on Windows HKLM, its 64-bit view first, then the 32-bit
// one), user[i] from the user's (HKCU). Everything else is zeroed.
void PlatLoadPolicy(const char* path, const char* const* names, int count,
                    PlatPolicyRecord* record);

// ---- Process ----

enum PlatMutexResult { kMutexCreated, kMutexExisted, kMutexFailed };
// Creates the named mutex initially owned; it is held until the process ends. kMutexFailed
// when it cannot be created (access denied, for one).
PlatMutexResult PlatCreateInstanceMutex(const char* name);
// Waits for the mutex up to timeoutMs; true when the wait reports it abandoned.
bool PlatWaitInstanceMutexAbandoned(uint32_t timeoutMs);
// The full path of the running executable in the agent's code page, NUL-terminated within size.
void PlatProgramPath(char* buffer, size_t size);
// Makes debug output available: the existing standard output when it is usable, otherwise a
// new console with standard input and output reopened on it.
void PlatOpenDebugOutput();
// Opens the support log at `path` (environment variables such as %LOCALAPPDATA% expanded) for
// appending; PlatDebugWrite then also writes there, in UTF-8 with a BOM, moving a log past about
// 1 MB to `path`.1 first. False when it cannot be opened.
bool PlatOpenDebugLog(const char* path);
// Writes one line of ANSI text and a line end: to the debug output, converted to the console's
// OEM code page, when it was opened (or no log is open), and to the support log if one is open.
void PlatDebugWrite(const char* ansiText);
