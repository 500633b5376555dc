// Agent bring-up: windows, settings, options, tray icon and the first logon.
#include <cstring>

#include "app/agent_main.h"
#include "app/events.h"
#include "app/support_log.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "res/resource_ids.h"
#include "session/world.h"
#include "settings/policy.h"
#include "settings/store.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

const size_t kAddressOptionLimit = 30;

bool TakesValue(int index, int argc, char** argv) { return index < argc && argv[index][0] != '-'; }

}  // namespace

void LoadStatusIcons() {
    gAgent.iconDisconnected = PlatLoadIcon(IDI_DISCONNECTED);
    gAgent.iconProgress = PlatLoadIcon(IDI_PROGRESS);
    gAgent.iconConnected = PlatLoadIcon(IDI_CONNECTED);
    gAgent.iconError = PlatLoadIcon(IDI_NET_ERROR);
    gAgent.iconBlocked = PlatLoadIcon(IDI_BLOCKED);
    gAgent.iconLimit = PlatLoadIcon(IDI_LIMIT);
}

namespace {

bool CreateWindows() {
    gAgent.mainWindow = PlatCreateDialog(kDialogLogon);
    if (gAgent.mainWindow == nullptr) {
        PlatMessageBox(nullptr, kTextLogonWindowFailed, kCaptionError, kBoxError);
        return false;
    }
    gAgent.statsWindow = PlatCreateDialog(kDialogStats);
    if (gAgent.statsWindow == nullptr) {
        PlatMessageBox(nullptr, kTextStatsWindowFailed, kCaptionError, kBoxError);
        return false;
    }
    return true;
}

}  // namespace

int ApplyOptions(int argc, char** argv) {
    int given = 0;
    int i = 1;
    while (i < argc && argv[i][0] == '-') {
        const char* option = argv[i++];
        if (strcmp(option, "--domain") == 0) {
            gAgent.runAtLogon = false;
            gAgent.autorunLocked = true;
            SaveSettings();
            // Deployments may pass the domain's name after the switch; it is not used.
            if (TakesValue(i, argc, argv)) i++;
        } else if (strcmp(option, "--address") == 0) {
            if (i >= argc) break;
            char address[kAddressOptionLimit + 1];
            CopyBounded(address, sizeof address, argv[i++]);
            CopyBounded(gConfig.serverAddress, sizeof gConfig.serverAddress, address);
            given |= kOptionAddress;
            // One more word after the address is stepped over, unless it is an option.
            if (TakesValue(i, argc, argv)) i++;
        } else if (strcmp(option, "--log") == 0) {
            // Its file was opened at start; the path must not end the options.
            if (i < argc) i++;
        }
    }
    return given;
}

namespace {

// A support log named by the policy, unless the command line names one (opened at start).
void OpenPolicyLog(const MachinePolicy& policy, bool logOption) {
    const char* path = PolicyLogFile(policy);
    if (path == nullptr || logOption) return;
    const bool wasEnabled = gAgent.debugEnabled;
    gAgent.debugEnabled = true;
    PlatOpenDebugLog(path);
    if (!wasEnabled) PlatDebugWrite(kDebugHeader);
}

}  // namespace

int AgentBringUp(int argc, char** argv) {
    LoadStatusIcons();
    if (!CreateWindows()) return 1;
    ShowStatsText("");
    MachinePolicy policy;
    LoadMachinePolicy(&policy);
    const bool logOption = LogOptionPath(argc, argv) != nullptr;
    OpenPolicyLog(policy, logOption);
    LoadSettings();
    ApplyPolicy(policy);
    gAgent.autorunLocked = false;
    const int given = ApplyOptions(argc, argv);
    PrintPolicyLines(policy, (given & kOptionAddress) != 0, logOption);
    PrintStartLines();
    gAgent.hoverPingGuard = false;
    gAgent.autoReconnect = true;
    gAgent.limitState = kLimitNormal;
    TrayStatus(gAgent.iconDisconnected, kTextDisconnected);
    gAgent.connState = 0;
    PlatSetTimer(gAgent.mainWindow, kTimerReconnect, kRetryDelayStart);
    StartWorldWatch();
    if (PlatIsItemChecked(gAgent.mainWindow, IDC_REMEMBER)) {
        gAgent.mainWindowVisible = false;
        PlatShowWindow(gAgent.mainWindow, false);
        PlatPostCommand(gAgent.mainWindow, IDC_CONNECT);
    } else {
        gAgent.mainWindowVisible = true;
        gAgent.autoReconnect = false;
        PlatShowWindow(gAgent.mainWindow, true);
    }
    return 0;
}
