// Agent bring-up: windows, settings, options, tray icon and the first logon.
#include <cstring>

#include "app/agent_main.h"
#include "app/events.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "res/resource_ids.h"
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

void ApplyOptions(int argc, char** argv) {
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
            // One more word after the address is stepped over, unless it is an option.
            if (TakesValue(i, argc, argv)) i++;
        }
    }
}

int AgentBringUp(int argc, char** argv) {
    LoadStatusIcons();
    if (!CreateWindows()) return 1;
    ShowStatsText("");
    LoadSettings();
    gAgent.autorunLocked = false;
    ApplyOptions(argc, argv);
    gAgent.hoverPingGuard = false;
    gAgent.autoReconnect = true;
    gAgent.limitState = kLimitNormal;
    TrayStatus(gAgent.iconDisconnected, kTextDisconnected);
    gAgent.connState = 0;
    PlatSetTimer(gAgent.mainWindow, kTimerReconnect, kRetryDelayStart);
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
