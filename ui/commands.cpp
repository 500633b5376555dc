// Commands of the logon window, the tray menu and the statistics window.
#include <cstddef>

#include "core/agent_state.h"
#include "res/resource_ids.h"
#include "session/control.h"
#include "settings/store.h"
#include "ui/handlers.h"
#include "vorna_version.h"

namespace {

const char kAboutText[] = "VornaAgent " VORNA_VERSION_SHOWN "\n\n"
                          "Агент авторизует пользователя на сервере доступа и подключает "
                          "рабочую станцию к сети Интернет.\n\n"
                          "https://vorna.example/agent\n"
                          "© 2026 Vorna Networks. Все права защищены.";

void HideLogonWindow() {
    gAgent.mainWindowVisible = false;
    PlatShowWindow(gAgent.mainWindow, false);
}

void ShowLogonWindow() {
    gAgent.mainWindowVisible = true;
    gAgent.autoReconnect = false;
    PlatShowWindow(gAgent.mainWindow, true);
}

void ToggleRunAtLogon() {
    gAgent.runAtLogon = !gAgent.runAtLogon;
    SaveSettings();
}

void Exit() {
    if (!gAgent.sessionActive) {
        PlatPostQuit(0);
        return;
    }
    gAgent.quitAfterLogout = true;
    StartLogout();
}

void ShowAbout() { PlatMessageBox(nullptr, kAboutText, "О программе", kBoxInformation); }

struct Command {
    int id;
    void (*run)();
};

const Command kCommands[] = {
    {IDC_CONNECT, StartLogon},
    {IDC_HIDE, HideLogonWindow},
    {IDM_CONNECT, ShowLogonWindow},
    {IDM_DISCONNECT, StartLogout},
    {IDM_INFO, RequestStatistics},
    {IDM_AUTORUN, ToggleRunAtLogon},
    {IDM_EXIT, Exit},
    {IDM_ABOUT, ShowAbout},
};

void ShowTrayMenu() {
    PlatMenu menu = PlatMenuLoad();
    if (menu == nullptr) return;
    if (gAgent.autorunLocked) {
        gAgent.runAtLogon = false;
        PlatMenuGray(menu, IDM_AUTORUN, true);
    }
    PlatMenuCheck(menu, IDM_AUTORUN, gAgent.runAtLogon);
    if (gAgent.connState != 0 || gAgent.sessionActive) PlatMenuGray(menu, IDM_CONNECT, true);
    PlatMenuTrack(menu, gAgent.mainWindow);
    PlatMenuDestroy(menu);
    PlatPostNull(gAgent.mainWindow);
}

}  // namespace

void OnCommand(int id) {
    for (const Command& command : kCommands) {
        if (command.id == id) {
            command.run();
            return;
        }
    }
}

void OnMainWindowClose() { HideLogonWindow(); }

void OnTrayEvent(TrayMouse event) {
    if (event == kTrayMouseMove) OnHover();
    if (event == kTrayMouseButton) ShowTrayMenu();
}

void OnPasswordTyped() { gAgent.useSavedPassword = false; }

void OnStatsCommand(int id) {
    if (id == IDC_STATS_OK) PlatShowWindow(gAgent.statsWindow, false);
}

void OnStatsClose() { PlatShowWindow(gAgent.statsWindow, false); }
