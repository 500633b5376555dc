// A recording platform for the core's tests: virtual clock and timers, scripted sockets,
// in-memory controls, tray, menu and registry.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/events.h"

// Where the fake keeps what a Windows front end keeps in the registry.
extern const char kSettingsKey[];   // "Software\\Vorna\\AuthUtility"
extern const char kRunKey[];        // "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
extern const char kRunValueName[];  // "VORNA Auth Utility"

namespace fake {

// The fake's two windows, as keys of the world's maps.
typedef const void* PlatWindow;
extern PlatWindow const kLogonWindow;
extern PlatWindow const kStatsWindow;

struct Timer {
    uint32_t period = 0;
    uint32_t due = 0;
};

struct FakeSocket {
    std::string connectAddress;
    int connectPort = 0;
    SocketWait wait = kWaitConnect;
    std::vector<SocketWait> waits;    // every wait asked for, in order
    std::string sent;                 // bytes written
    std::deque<std::string> inbound;  // chunks each recv returns (an empty chunk: recv gives 0)
    bool reset = false;               // once inbound is drained, recv reports a failed connection
    int sendLimit = 1 << 30;          // at most this many bytes per send
    int sendRoom = 1 << 30;           // bytes taken before a send would block
    int sendResult = 0;               // when non-zero, send returns this instead of sending
    bool closed = false;
    bool shutdown = false;
    bool blocking = false;
};

struct TrayCall {
    PlatTrayAction action;
    TrayIcon icon;
    std::string tip;
    bool hasTip;
};

struct Balloon {
    std::string title;
    std::string text;
};

struct Box {
    PlatWindow owner;
    std::string text;
    std::string caption;
    PlatBoxKind kind;
};

struct RegValue {
    PlatValueType type;
    std::string data;
};

// A policy value: a DWORD (from a number), a string (from text), or any other type.
struct PolicyValue {
    PlatValueType type = kValueDword;
    uint32_t number = 0;
    std::string text;
    PolicyValue(uint32_t n = 0) : number(n) {}
    PolicyValue(const char* t) : type(kValueString), text(t) {}
    static PolicyValue Other() {
        PolicyValue v;
        v.type = kValueOther;
        return v;
    }
};

struct Menu {
    std::map<int, bool> checked;
    std::map<int, bool> grayed;
    bool tracked = false;
    bool destroyed = false;
};

struct World {
    uint32_t now = 1000;
    std::map<int, Timer> timers;  // main-window timers by id
    std::vector<PlatSocket> socketOrder;
    std::map<PlatSocket, FakeSocket> sockets;
    PlatSocket nextSocket = 100;
    bool socketOpenFails = false;
    // Blocking exchange: connect outcome, and how long each call takes on the clock.
    int connectWaitResult = 0;
    uint32_t connectWaitCost = 0;
    std::map<std::pair<PlatWindow, int>, std::string> texts;
    std::map<std::pair<PlatWindow, int>, bool> checks;
    std::map<std::pair<PlatWindow, int>, bool> disabled;  // controls greyed by the agent
    std::map<std::pair<PlatWindow, int>, TrayIcon> itemIcons;
    std::map<PlatWindow, bool> visible;
    std::vector<PlatWindowId> dialogsCreated;
    int failDialog = -1;         // a PlatWindowId value that fails to create
    bool noLogonWindow = false;  // a front end without one: the view holds the form
    std::deque<int> posted;      // commands posted to the main window
    int postedNulls = 0;
    bool quitPosted = false;
    int quitCode = -1;
    std::vector<Box> boxes;
    std::vector<TrayCall> tray;
    std::vector<Balloon> balloons;
    bool addressWatchFails = false;
    int addressWatches = 0;
    // The machine has an IPv4 address other than loopback.
    bool hasNetworkAddress = true;
    int trayFailures = 0;         // the next N tray calls fail
    bool trayRefusesAdd = false;  // every add fails (the shell has the icon already)
    uint32_t trayCallCost = 0;    // how long each tray call takes on the clock (a busy shell)
    bool menuLoadFails = false;
    std::vector<Menu> menus;
    std::map<std::string, std::map<std::string, RegValue>> registry;
    bool registryFails = false;
    // Policy values an administrator set for the machine and for the user: path -> name -> value.
    std::map<std::string, std::map<std::string, PolicyValue>> machinePolicy;
    std::map<std::string, std::map<std::string, PolicyValue>> userPolicy;
    std::string programPath = "C:\\Program Files\\Vorna\\VornaAgent.exe";
    PlatMutexResult mutexResult = kMutexCreated;
    bool mutexAbandoned = false;
    std::vector<uint32_t> mutexWaits;
    PlatSocketsStart socketsStart = kSocketsReady;
    bool debugOpened = false;
    std::string debugLogPath;  // what PlatOpenDebugLog was given
    std::vector<std::string> debug;
    int loopExitCode = 0;
    bool loopRan = false;
};

extern World world;

// Starts a fresh world and a fresh agent with the fixture key loaded and buffers allocated,
// the two windows created and the icons loaded, as after bring-up's first steps.
void Reset();
// Only the world, nothing of the agent.
void ResetWorld();

// Moves the clock on, firing due timers through OnTimer in time order; posted commands are
// delivered through OnCommand as they are posted.
void Advance(uint32_t ms);
// Delivers posted commands.
void Pump();
bool TimerRunning(int id);
uint32_t TimerPeriod(int id);

// The socket opened last, and the events for it.
PlatSocket CurrentSocket();
FakeSocket& Socket(PlatSocket s = 0);
void Event(PlatSocketEvent event, PlatNetError error = kNetOk, PlatSocket s = 0);
// Runs a whole request on the current socket: connect, write, then the reply and close.
void Serve(const std::string& reply);

std::string Text(PlatWindow window, int id);
const TrayCall& LastTray();
std::string LastTip();
bool HasDebugLine(const std::string& line);

// Decrypts block `index` of a frame with the fixture's private key ("" when it does not).
std::string DecryptBlock(const std::string& frame, int index, int blockSize = 128);

}  // namespace fake

namespace fake {
inline TrayIcon ItemIcon(PlatWindow window, int id) { return world.itemIcons[{window, id}]; }
inline bool Checked(PlatWindow window, int id) { return world.checks[{window, id}]; }
}  // namespace fake
