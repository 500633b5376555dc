// Process start-up and the main loop.
#include "app/agent_main.h"

#include <cstdlib>
#include <cstring>

#include "app/events.h"
#include "app/support_log.h"
#include "core/agent_state.h"
#include "core/timings.h"
#include "session/frames.h"
#include "ui/texts.h"

namespace {

const char kMutexName[] = "VORNA Auth utility v. 1.0";

int Fail(const char* text, int exitCode) {
    PlatMessageBox(nullptr, text, kCaptionError, kBoxError);
    return exitCode;
}

// Another agent already runs in this session unless its mutex was left abandoned. A mutex that
// cannot be created at all (access denied: an elevated agent holds it) means one runs as well.
bool AnotherInstanceRuns() {
    PlatMutexResult mutex = PlatCreateInstanceMutex(kMutexName);
    if (mutex == kMutexCreated) return false;
    if (mutex == kMutexFailed) return true;
    return !PlatWaitInstanceMutexAbandoned(kInstanceWaitMs);
}

int StartSockets() {
    int version = 0;
    if (!PlatSocketsStartup(&version)) return Fail(kTextSocketsFailed, 0);
    if (version != 0x0202) {
        PlatSocketsCleanup();
        return Fail(kTextSocketsVersion, 0);
    }
    return -1;
}

}  // namespace

const char kDebugHeader[] = "*** Debug output:";

int LoadKeyAndBuffers() {
    if (!LoadServerKey(gConfig.serverKeyPem)) return Fail(kTextKeyFailed, 1);
    if (gAgent.blockSize <= 0) return Fail(kTextKeySizeFailed, 1);
    size_t ioSize = 4 * static_cast<size_t>(gAgent.blockSize);
    if (ioSize < 1024) ioSize = 1024;
    gAgent.ioBuffer = static_cast<uint8_t*>(calloc(ioSize, 1));
    gAgent.savedPasswordBlock = static_cast<uint8_t*>(calloc(gAgent.blockSize, 1));
    if (gAgent.ioBuffer == nullptr || gAgent.savedPasswordBlock == nullptr)
        return Fail(kTextNoMemory, 1);
    return -1;
}

bool DebugSwitchGiven(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--debug") == 0) return true;
    return argc > 2 && strcmp(argv[2], "--debug") == 0;
}

int AgentMain(int argc, char** argv) {
    ResetAgentState();
    const bool debugSwitch = DebugSwitchGiven(argc, argv);
    const char* logPath = LogOptionPath(argc, argv);
    if (debugSwitch || logPath != nullptr) {
        gAgent.debugEnabled = true;
        if (debugSwitch) PlatOpenDebugOutput();
        if (logPath != nullptr) PlatOpenDebugLog(logPath);
        PlatDebugWrite(kDebugHeader);
    }
    if (AnotherInstanceRuns()) {
        PlatMessageBox(nullptr, kTextAlreadyRunning, kCaptionWarning, kBoxWarning);
        return 0;
    }
    int code = StartSockets();
    if (code >= 0) return code;
    code = LoadKeyAndBuffers();
    if (code >= 0) return code;
    code = AgentBringUp(argc, argv);
    if (code != 0) return code;
    code = PlatRunMessageLoop(gAgent.statsWindow, gAgent.mainWindow);
    PlatTrayNotify(kTrayDelete, gAgent.mainWindow, nullptr, nullptr);
    PlatDestroyWindow(gAgent.mainWindow);
    PlatDestroyWindow(gAgent.statsWindow);
    return code;
}
