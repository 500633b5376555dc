// Process start-up and the main loop.
#include "app/agent_main.h"

#include <cstdlib>
#include <cstring>

#include "app/support_log.h"
#include "core/agent_state.h"
#include "core/timings.h"
#include "platform/events.h"
#include "session/frames.h"
#include "ui/texts.h"

namespace {

const char kMutexName[] = "VORNA Auth utility v. 1.0";

// The user is told why the start failed; the process ends with `exitCode`.
bool Fail(const char* text, int exitCode, int* code) {
    PlatMessageBox(false, text, kCaptionError, kBoxError);
    *code = exitCode;
    return false;
}

// Another agent already runs in this session unless its mutex was left abandoned. A mutex that
// cannot be created at all (access denied: an elevated agent holds it) means one runs as well.
bool AnotherInstanceRuns() {
    PlatMutexResult mutex = PlatCreateInstanceMutex(kMutexName);
    if (mutex == kMutexCreated) return false;
    if (mutex == kMutexFailed) return true;
    return !PlatWaitInstanceMutexAbandoned(kInstanceWaitMs);
}

bool StartSockets(int* code) {
    switch (PlatSocketsStartup()) {
        case kSocketsReady: return true;
        case kSocketsFailed: return Fail(kTextSocketsFailed, 0, code);
        case kSocketsUnsupported: return Fail(kTextSocketsVersion, 0, code);
    }
    return true;
}

}  // namespace

const char kDebugHeader[] = "*** Debug output:";

bool LoadKeyAndBuffers(int* code) {
    if (!LoadServerKey(gConfig.serverKeyPem)) return Fail(kTextKeyFailed, 1, code);
    if (gAgent.blockSize <= 0) return Fail(kTextKeySizeFailed, 1, code);
    size_t ioSize = 4 * static_cast<size_t>(gAgent.blockSize);
    if (ioSize < 1024) ioSize = 1024;
    gAgent.ioBuffer = static_cast<uint8_t*>(calloc(ioSize, 1));
    gAgent.savedPasswordBlock = static_cast<uint8_t*>(calloc(gAgent.blockSize, 1));
    if (gAgent.ioBuffer == nullptr || gAgent.savedPasswordBlock == nullptr)
        return Fail(kTextNoMemory, 1, code);
    return true;
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
        PlatMessageBox(false, kTextAlreadyRunning, kCaptionWarning, kBoxWarning);
        return 0;
    }
    int code = 0;
    if (!StartSockets(&code) || !LoadKeyAndBuffers(&code)) return code;
    code = AgentBringUp(argc, argv);
    if (code != 0) return code;
    code = PlatRunLoop();
    PlatTrayNotify(kTrayDelete, false, false);
    PlatDestroyWindows();
    return code;
}
