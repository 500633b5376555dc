#include "tests/fake/fake_platform.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/agent_main.h"
#include "core/agent_state.h"
#include "core/timings.h"
#include "crypto/field_crypto.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/frames.h"
#include "settings/policy.h"

namespace fake {

static int logonWindowTag;
static int statsWindowTag;
PlatWindow const kLogonWindow = &logonWindowTag;
PlatWindow const kStatsWindow = &statsWindowTag;
World world;

void ResetWorld() { world = World(); }

void Reset() {
    ResetWorld();
    // Keep the one key object across tests: parsing it again every time costs nothing useful.
    static FieldKey* key = nullptr;
    static uint8_t* io = nullptr;
    static uint8_t* saved = nullptr;
    free(io);
    free(saved);
    ResetAgentState();
    if (key == nullptr) {
        if (!LoadServerKey(gConfig.serverKeyPem)) abort();
        key = gAgent.serverKey;
    }
    gAgent.serverKey = key;
    gAgent.blockSize = FieldKeyBytes(key);
    io = static_cast<uint8_t*>(calloc(1024, 1));
    saved = static_cast<uint8_t*>(calloc(gAgent.blockSize, 1));
    gAgent.ioBuffer = io;
    gAgent.savedPasswordBlock = saved;
    gAgent.debugEnabled = true;  // the tests read the debug lines
    gAgent.view.form.rememberAllowed = true;
}

void Pump() {
    while (!world.posted.empty()) {
        int id = world.posted.front();
        world.posted.pop_front();
        OnCommand(id);
    }
}

void Advance(uint32_t ms) {
    uint32_t target = world.now + ms;
    for (;;) {
        int next = -1;
        uint32_t due = target;
        for (auto& [id, timer] : world.timers) {
            if (timer.due <= due) {
                due = timer.due;
                next = id;
            }
        }
        if (next < 0) break;
        world.now = due;
        world.timers[next].due = due + world.timers[next].period;
        OnTimer(next);
        Pump();
    }
    world.now = target;
}

bool TimerRunning(int id) { return world.timers.count(id) != 0; }

uint32_t TimerPeriod(int id) { return TimerRunning(id) ? world.timers[id].period : 0; }

PlatSocket CurrentSocket() {
    return world.socketOrder.empty() ? kNoSocket : world.socketOrder.back();
}

FakeSocket& Socket(PlatSocket s) { return world.sockets[s != 0 ? s : CurrentSocket()]; }

void Event(PlatSocketEvent event, PlatNetError error, PlatSocket s) {
    OnSocketEvent(s != 0 ? s : CurrentSocket(), event, error);
}

void Serve(const std::string& reply) {
    PlatSocket s = CurrentSocket();
    Event(kSocketConnected);
    Event(kSocketWritable);
    world.sockets[s].inbound.push_back(reply);
    Event(kSocketReadable);
    world.sockets[s].inbound.push_back("");
    Event(kSocketClosed, kNetOk, s);
}

std::string Text(PlatWindow window, int id) { return world.texts[{window, id}]; }

const TrayCall& LastTray() {
    static TrayCall none{kTrayModify, kIconNone, "", false};
    return world.tray.empty() ? none : world.tray.back();
}

std::string LastTip() {
    for (auto it = world.tray.rbegin(); it != world.tray.rend(); ++it)
        if (it->hasTip) return it->tip;
    return "";
}

bool HasDebugLine(const std::string& line) {
    return std::find(world.debug.begin(), world.debug.end(), line) != world.debug.end();
}

std::string DecryptBlock(const std::string& frame, int index, int blockSize) {
    static RSA* priv = nullptr;
    static RSA* priv2048 = nullptr;
    RSA*& key = blockSize == 256 ? priv2048 : priv;
    if (key == nullptr) {
        std::string path = std::string(VORNA_FIXTURES_DIR) +
                           (blockSize == 256 ? "/test_key_2048.pem" : "/test_key_1024.pem");
        FILE* f = fopen(path.c_str(), "r");
        if (f == nullptr) return "<no key>";
        key = PEM_read_RSAPrivateKey(f, nullptr, nullptr, nullptr);
        fclose(f);
    }
    if (frame.size() < static_cast<size_t>(index + 1) * blockSize) return "<short>";
    unsigned char out[512];
    int n = RSA_private_decrypt(blockSize,
                                reinterpret_cast<const unsigned char*>(frame.data()) +
                                    static_cast<size_t>(index) * blockSize,
                                out, key, RSA_PKCS1_PADDING);
    return n < 0 ? "<undecryptable>" : std::string(reinterpret_cast<char*>(out), n);
}

}  // namespace fake

using fake::world;

// ---- The platform, as the core sees it: a Windows-like front end with a logon form ----

const char kSettingsKey[] = "Software\\Vorna\\AuthUtility";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunValueName[] = "VORNA Auth Utility";

namespace {

fake::PlatWindow WindowOf(PlatWindowId which) {
    return which == kWindowLogon ? fake::kLogonWindow : fake::kStatsWindow;
}

void CopyOut(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    size_t n = std::min(text.size(), size - 1);
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

PlatSocket NewSocket(bool blocking) {
    if (world.socketOpenFails) return kNoSocket;
    PlatSocket s = world.nextSocket++;
    world.socketOrder.push_back(s);
    world.sockets[s].blocking = blocking;
    return s;
}

}  // namespace

uint32_t PlatNowMs() { return world.now; }

void PlatSetTimer(int id, uint32_t periodMs) {
    world.timers[id] = fake::Timer{periodMs, world.now + periodMs};
}

void PlatKillTimer(int id) { world.timers.erase(id); }

PlatSocketsStart PlatSocketsStartup() { return world.socketsStart; }

PlatSocket PlatSocketOpen() { return NewSocket(false); }

void PlatSocketWait(PlatSocket s, SocketWait what) {
    world.sockets[s].wait = what;
    world.sockets[s].waits.push_back(what);
}

void PlatSocketConnect(PlatSocket s, const char* address, int port) {
    world.sockets[s].connectAddress = address;
    world.sockets[s].connectPort = port;
}

int PlatSocketSend(PlatSocket s, const uint8_t* data, int length) {
    fake::FakeSocket& sock = world.sockets[s];
    if (sock.sendResult != 0) return sock.sendResult;
    if (sock.sendRoom <= 0) return kSendWouldBlock;
    int n = std::min({length, sock.sendLimit, sock.sendRoom});
    sock.sendRoom -= n;
    sock.sent.append(reinterpret_cast<const char*>(data), n);
    return n;
}

int PlatSocketRecv(PlatSocket s, uint8_t* data, int length) {
    fake::FakeSocket& sock = world.sockets[s];
    if (sock.closed) return -1;
    if (sock.inbound.empty()) return sock.reset ? kRecvFailed : -1;  // -1: would block
    std::string& chunk = sock.inbound.front();
    if (chunk.empty()) return 0;  // the peer has closed: stays so
    int n = std::min(length, static_cast<int>(chunk.size()));
    memcpy(data, chunk.data(), n);  // NOLINT(bugprone-not-null-terminated-result): bytes, not text
    chunk.erase(0, n);
    if (chunk.empty()) sock.inbound.pop_front();
    return n;
}

void PlatSocketShutdown(PlatSocket s) { world.sockets[s].shutdown = true; }

void PlatSocketClose(PlatSocket s) {
    if (s == kNoSocket) return;
    world.sockets[s].closed = true;
}

PlatSocket PlatSocketOpenBlocking() { return NewSocket(true); }

int PlatSocketConnectWait(PlatSocket s, const char* address, int port, uint32_t timeoutMs) {
    PlatSocketConnect(s, address, port);
    uint32_t cost = std::min(world.connectWaitCost, timeoutMs);
    world.now += cost;
    if (world.connectWaitCost > timeoutMs) return -1;
    return world.connectWaitResult;
}

int PlatSocketSendWait(PlatSocket s, const uint8_t* data, int length, uint32_t) {
    return PlatSocketSend(s, data, length);
}

int PlatSocketRecvWait(PlatSocket s, uint8_t* data, int length, uint32_t) {
    return PlatSocketRecv(s, data, length);
}

bool PlatCreateWindow(PlatWindowId which) {
    world.dialogsCreated.push_back(which);
    return world.failDialog != static_cast<int>(which);
}

void PlatDestroyWindows() { world.visible.clear(); }

void PlatShowWindow(PlatWindowId which, bool visible) { world.visible[WindowOf(which)] = visible; }

void PlatShowLogonForm() {
    const LogonForm& form = gAgent.view.form;
    world.texts[{fake::kLogonWindow, IDC_LOGIN}] = form.login;
    world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = form.passwordRemembered ? "password" : "";
    world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = form.remember;
    world.disabled[{fake::kLogonWindow, IDC_REMEMBER}] = !form.rememberAllowed;
}

bool PlatReadLogonForm(char* login, size_t loginSize, char* password, size_t passwordSize,
                       bool* remember) {
    if (world.noLogonWindow) return false;
    CopyOut(world.texts[{fake::kLogonWindow, IDC_LOGIN}], login, loginSize);
    CopyOut(world.texts[{fake::kLogonWindow, IDC_PASSWORD}], password, passwordSize);
    *remember = world.checks[{fake::kLogonWindow, IDC_REMEMBER}];
    return true;
}

void PlatShowStatistics() {
    world.texts[{fake::kStatsWindow, IDC_STATS_TEXT}] = gAgent.view.statistics;
}

bool PlatTrayNotify(PlatTrayAction action, bool icon, bool tip) {
    TrayIcon shown = icon ? gAgent.view.icon : kIconNone;
    world.tray.push_back({action, shown, tip ? gAgent.view.tooltip : "", tip});
    if (icon) world.itemIcons[{fake::kStatsWindow, IDC_STATS_ICON}] = gAgent.view.icon;
    if (world.trayRefusesAdd && action == kTrayAdd) return false;
    world.now += world.trayCallCost;
    if (world.trayFailures > 0) {
        world.trayFailures--;
        return false;
    }
    return true;
}

bool PlatNotify(const char* title, const char* text) {
    world.balloons.push_back({title, text});
    return true;
}

void PlatMessageBox(bool owned, const char* text, const char* caption, PlatBoxKind kind) {
    world.boxes.push_back({owned ? fake::kLogonWindow : nullptr, text, caption, kind});
}

bool PlatMenuLoad() {
    if (world.menuLoadFails) return false;
    world.menus.emplace_back();
    return true;
}

void PlatMenuCheck(int id, bool checked) { world.menus.back().checked[id] = checked; }

void PlatMenuGray(int id, bool grayed) { world.menus.back().grayed[id] = grayed; }

void PlatMenuShow() {
    world.menus.back().tracked = true;
    world.menus.back().destroyed = true;
    world.postedNulls++;
}

void PlatPostCommand(int id) { world.posted.push_back(id); }

void PlatPostQuit(int exitCode) {
    world.quitPosted = true;
    world.quitCode = exitCode;
}

int PlatRunLoop() {
    world.loopRan = true;
    return world.loopExitCode;
}

bool PlatWatchAddressList() {
    world.addressWatches++;
    return !world.addressWatchFails;
}

bool PlatHasNetworkAddress() { return world.hasNetworkAddress; }

bool PlatLoadSettings(StoredSettings* settings) {
    if (world.registryFails) return false;
    auto& values = world.registry[kSettingsKey];
    for (int i = 0; i < kStoredCount; i++) {
        auto found = values.find(kStoredNames[i]);
        if (found == values.end() || found->second.data.size() > kStoredValueSize) continue;
        StoredValue& value = settings->values[i];
        value.present = true;
        value.type = found->second.type;
        value.size = static_cast<uint32_t>(found->second.data.size());
        memcpy(value.data, found->second.data.data(), value.size);
    }
    return true;
}

bool PlatSaveSettings(const StoredSettings& settings) {
    if (world.registryFails) return false;
    auto& values = world.registry[kSettingsKey];
    for (int i = 0; i < kStoredCount; i++) {
        const StoredValue& value = settings.values[i];
        if (value.action == kStoredWrite) {
            values[kStoredNames[i]] = {
                value.type, std::string(reinterpret_cast<const char*>(value.data), value.size)};
        } else if (value.action == kStoredDelete) {
            values.erase(kStoredNames[i]);
        }
    }
    return true;
}

AutostartState PlatAutostartState() {
    if (world.registryFails) return kAutostartAbsent;
    auto& values = world.registry[kRunKey];
    auto found = values.find(kRunValueName);
    if (found == values.end()) return kAutostartAbsent;
    return found->second.type == kValueString && found->second.data == world.programPath
               ? kAutostartOurs
               : kAutostartOther;
}

bool PlatSetAutostart(bool on) {
    if (world.registryFails) return false;
    auto& values = world.registry[kRunKey];
    if (on) {
        values[kRunValueName] = {kValueString, world.programPath};
    } else {
        values.erase(kRunValueName);
    }
    return true;
}

namespace {

void FillPolicy(const std::map<std::string, std::map<std::string, fake::PolicyValue>>& policy,
                const char* const* names, int count, const char* where, PlatPolicyValue* out) {
    auto key = policy.find(kPolicyKey);
    if (key == policy.end()) return;
    for (int i = 0; i < count; ++i) {
        auto found = key->second.find(names[i]);
        if (found == key->second.end()) continue;
        const fake::PolicyValue& value = found->second;
        out[i].type = value.type;
        out[i].number = value.number;
        // As the real platform does: a text that does not fit is of a type the agent cannot take.
        if (value.text.size() >= sizeof out[i].text) out[i].type = kValueOther;
        if (out[i].type == kValueString)
            memcpy(out[i].text, value.text.c_str(), value.text.size() + 1);
        out[i].where = where;
    }
}

}  // namespace

void PlatLoadPolicy(const char* const* names, int count, PlatPolicyRecord* record) {
    memset(record, 0, sizeof *record);
    FillPolicy(world.machinePolicy, names, count, "HKLM", record->machine);
    FillPolicy(world.userPolicy, names, count, "HKCU", record->user);
}

PlatMutexResult PlatCreateInstanceMutex(const char*) { return world.mutexResult; }

bool PlatWaitInstanceMutexAbandoned(uint32_t timeoutMs) {
    world.mutexWaits.push_back(timeoutMs);
    return world.mutexAbandoned;
}

void PlatOpenDebugOutput() { world.debugOpened = true; }

bool PlatOpenDebugLog(const char* path) {
    world.debugLogPath = path;
    return true;
}

void PlatDebugWrite(const char* ansiText) { world.debug.push_back(ansiText); }
