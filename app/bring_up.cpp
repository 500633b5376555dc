// Agent bring-up: windows, settings, options, tray icon and the first logon.
#include <cstring>

#include "app/agent_main.h"
#include "app/support_log.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
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

namespace {

bool CreateWindows() {
    if (!PlatCreateWindow(kWindowLogon)) {
        PlatMessageBox(false, kTextLogonWindowFailed, kCaptionError, kBoxError);
        return false;
    }
    if (!PlatCreateWindow(kWindowStats)) {
        PlatMessageBox(false, kTextStatsWindowFailed, kCaptionError, kBoxError);
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
    TrayStatus(kIconDisconnected, kTextDisconnected);
    gAgent.connState = 0;
    PlatSetTimer(kTimerReconnect, kRetryDelayStart);
    StartWorldWatch();
    bool remember = gAgent.view.form.remember;
    char login[1] = {};
    PlatReadLogonForm(login, sizeof login, nullptr, 0, &remember);
    if (remember) {
        gAgent.mainWindowVisible = false;
        PlatShowWindow(kWindowLogon, false);
        PlatPostCommand(IDC_CONNECT);
    } else {
        gAgent.mainWindowVisible = true;
        gAgent.autoReconnect = false;
        PlatShowWindow(kWindowLogon, true);
    }
    return 0;
}
