#include "tests/fake/fake_platform.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/agent_main.h"
#include "app/events.h"
#include "core/agent_state.h"
#include "core/timings.h"
#include "session/frames.h"

namespace fake {

static int logonWindowTag;
static int statsWindowTag;
PlatWindow const kLogonWindow = &logonWindowTag;
PlatWindow const kStatsWindow = &statsWindowTag;
World world;

static char iconTags[400];

PlatIcon IconFor(int resourceId) { return &iconTags[resourceId % 400]; }

void ResetWorld() { world = World(); }

void Reset() {
    ResetWorld();
    // Keep the one key object across tests: parsing it again every time costs nothing useful.
    static RSA* key = nullptr;
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
    gAgent.blockSize = RSA_size(key);
    io = static_cast<uint8_t*>(calloc(1024, 1));
    saved = static_cast<uint8_t*>(calloc(gAgent.blockSize, 1));
    gAgent.ioBuffer = io;
    gAgent.savedPasswordBlock = saved;
    gAgent.debugEnabled = true;  // the tests read the debug lines
    gAgent.mainWindow = kLogonWindow;
    gAgent.statsWindow = kStatsWindow;
    LoadStatusIcons();  // as bring-up does; the tests count only the loads they cause
    world.iconsLoaded.clear();
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

void Event(int event, int error, PlatSocket s) {
    OnSocketEvent(s != 0 ? s : CurrentSocket(), event, error);
}

void Serve(const std::string& reply) {
    PlatSocket s = CurrentSocket();
    Event(kEventConnect);
    Event(kEventWrite);
    world.sockets[s].inbound.push_back(reply);
    Event(kEventRead);
    world.sockets[s].inbound.push_back("");
    Event(kEventClose, 0, s);
}

std::string Text(PlatWindow window, int id) { return world.texts[{window, id}]; }

const TrayCall& LastTray() {
    static TrayCall none{kTrayModify, nullptr, "", false};
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

// ---- The platform, as the core sees it ----

uint32_t PlatNowMs() { return world.now; }

void PlatSetTimer(PlatWindow, int id, uint32_t periodMs) {
    world.timers[id] = fake::Timer{periodMs, world.now + periodMs};
}

void PlatKillTimer(PlatWindow, int id) { world.timers.erase(id); }

bool PlatSocketsStartup(int* version) {
    *version = world.startupVersion;
    return !world.startupFails;
}

void PlatSocketsCleanup() { world.cleanedUp = true; }

static PlatSocket NewSocket(bool blocking) {
    if (world.socketOpenFails) return kNoSocket;
    PlatSocket s = world.nextSocket++;
    world.socketOrder.push_back(s);
    world.sockets[s].blocking = blocking;
    return s;
}

PlatSocket PlatSocketOpen() { return NewSocket(false); }

void PlatSocketSelect(PlatSocket s, PlatWindow, int mask) {
    world.sockets[s].mask = mask;
    world.sockets[s].masks.push_back(mask);
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

PlatWindow PlatCreateDialog(PlatDialog which) {
    world.dialogsCreated.push_back(which);
    if (world.failDialog == which) return nullptr;
    return which == kDialogLogon ? fake::kLogonWindow : fake::kStatsWindow;
}

void PlatDestroyWindow(PlatWindow window) { world.visible.erase(window); }

void PlatShowWindow(PlatWindow window, bool visible) { world.visible[window] = visible; }

void PlatGetItemText(PlatWindow window, int id, char* buffer, size_t size) {
    if (size == 0) return;
    const std::string& text = world.texts[{window, id}];
    size_t n = std::min(text.size(), size - 1);
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

void PlatSetItemText(PlatWindow window, int id, const char* text) {
    world.texts[{window, id}] = text;
}

bool PlatIsItemChecked(PlatWindow window, int id) { return world.checks[{window, id}]; }

void PlatSetItemEnabled(PlatWindow window, int id, bool enabled) {
    world.disabled[{window, id}] = !enabled;
}

namespace {

void FillPolicy(const std::map<std::string, std::map<std::string, fake::PolicyValue>>& policy,
                const char* path, const char* const* names, int count, const char* where,
                PlatPolicyValue* out) {
    auto key = policy.find(path);
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

void PlatLoadPolicy(const char* path, const char* const* names, int count,
                    PlatPolicyRecord* record) {
    memset(record, 0, sizeof *record);
    FillPolicy(world.machinePolicy, path, names, count, "HKLM", record->machine);
    FillPolicy(world.userPolicy, path, names, count, "HKCU", record->user);
}

void PlatSetItemChecked(PlatWindow window, int id, bool checked) {
    world.checks[{window, id}] = checked;
}

void PlatSetItemIcon(PlatWindow window, int id, PlatIcon icon) {
    world.itemIcons[{window, id}] = icon;
}

PlatIcon PlatLoadIcon(int resourceId) {
    world.iconsLoaded.push_back(resourceId);
    return fake::IconFor(resourceId);
}

void PlatPostCommand(PlatWindow, int id) { world.posted.push_back(id); }

void PlatPostNull(PlatWindow) { world.postedNulls++; }

void PlatPostQuit(int exitCode) {
    world.quitPosted = true;
    world.quitCode = exitCode;
}

int PlatRunMessageLoop(PlatWindow, PlatWindow) {
    world.loopRan = true;
    return world.loopExitCode;
}

void PlatMessageBox(PlatWindow owner, const char* text, const char* caption, PlatBoxKind kind) {
    world.boxes.push_back({owner, text, caption, kind});
}

bool PlatTrayNotify(PlatTrayAction action, PlatWindow, PlatIcon icon, const char* tip) {
    world.tray.push_back({action, icon, tip != nullptr ? tip : "", tip != nullptr});
    if (world.trayRefusesAdd && action == kTrayAdd) return false;
    world.now += world.trayCallCost;
    if (world.trayFailures > 0) {
        world.trayFailures--;
        return false;
    }
    return true;
}

bool PlatTrayBalloon(PlatWindow, const char* title, const char* text) {
    world.balloons.push_back({title, text});
    return true;
}

bool PlatWatchAddressList(PlatWindow) {
    world.addressWatches++;
    return !world.addressWatchFails;
}

PlatMenu PlatMenuLoad() {
    if (world.menuLoadFails) return nullptr;
    world.menus.emplace_back();
    return reinterpret_cast<PlatMenu>(world.menus.size());
}

static fake::Menu& MenuOf(PlatMenu menu) { return world.menus[reinterpret_cast<size_t>(menu) - 1]; }

void PlatMenuCheck(PlatMenu menu, int id, bool checked) { MenuOf(menu).checked[id] = checked; }

void PlatMenuGray(PlatMenu menu, int id, bool grayed) { MenuOf(menu).grayed[id] = grayed; }

void PlatMenuTrack(PlatMenu menu, PlatWindow) { MenuOf(menu).tracked = true; }

void PlatMenuDestroy(PlatMenu menu) { MenuOf(menu).destroyed = true; }

PlatKey PlatRegCreateKey(const char* path) {
    if (world.registryFails) return nullptr;
    world.registry[path];
    return reinterpret_cast<PlatKey>(new std::string(path));
}

static std::map<std::string, fake::RegValue>* KeyValues(PlatKey key) {
    if (key == nullptr) return nullptr;
    return &world.registry[*static_cast<std::string*>(key)];
}

bool PlatRegQuery(PlatKey key, const char* name, void* data, uint32_t* size, PlatValueType* type) {
    auto* values = KeyValues(key);
    if (values == nullptr || values->count(name) == 0) return false;
    const fake::RegValue& value = (*values)[name];
    if (value.data.size() > *size) return false;
    memcpy(data, value.data.data(), value.data.size());
    *size = static_cast<uint32_t>(value.data.size());
    if (type != nullptr) *type = value.type;
    return true;
}

bool PlatRegSet(PlatKey key, const char* name, PlatValueType type, const void* data,
                uint32_t size) {
    auto* values = KeyValues(key);
    if (values == nullptr) return false;
    (*values)[name] = {type, std::string(static_cast<const char*>(data), size)};
    return true;
}

bool PlatRegDelete(PlatKey key, const char* name) {
    auto* values = KeyValues(key);
    return values != nullptr && values->erase(name) != 0;
}

void PlatRegClose(PlatKey key) { delete static_cast<std::string*>(key); }

PlatPathMatch PlatRegMatchProgramPath(PlatKey key, const char* name) {
    auto* values = KeyValues(key);
    if (values == nullptr || values->count(name) == 0) return kPathAbsent;
    const fake::RegValue& value = (*values)[name];
    return value.type == kValueString && value.data == world.programPath ? kPathSame : kPathOther;
}

bool PlatRegSetProgramPath(PlatKey key, const char* name) {
    return PlatRegSet(key, name, kValueString, world.programPath.data(),
                      static_cast<uint32_t>(world.programPath.size()));
}

PlatMutexResult PlatCreateInstanceMutex(const char*) { return world.mutexResult; }

bool PlatWaitInstanceMutexAbandoned(uint32_t timeoutMs) {
    world.mutexWaits.push_back(timeoutMs);
    return world.mutexAbandoned;
}

void PlatProgramPath(char* buffer, size_t size) {
    snprintf(buffer, size, "%s", world.programPath.c_str());
}

void PlatOpenDebugOutput() { world.debugOpened = true; }

bool PlatOpenDebugLog(const char* path) {
    world.debugLogPath = path;
    return true;
}

void PlatDebugWrite(const char* ansiText) { world.debug.push_back(ansiText); }
