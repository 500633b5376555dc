// The tray has no counterpart here: the icon's role and the tooltip are kept for `status`, and
// the menu is never shown (its commands come from the control socket).
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "res/resource_ids.h"

namespace {

// One distinct handle per icon: the core compares them; `status` names them.
const int kIconIds[] = {IDI_CONNECTED, IDI_NET_ERROR, IDI_PROGRESS,
                        IDI_BLOCKED,   IDI_LIMIT,     IDI_DISCONNECTED};
int gIconHandles[sizeof kIconIds / sizeof kIconIds[0]];
PlatIcon gShown = nullptr;

// notify-send runs on its own; finished ones are collected at the next notification.
const int kNotifierSlots = 8;
pid_t gNotifiers[kNotifierSlots];

void CollectNotifiers() {
    for (pid_t& pid : gNotifiers)
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) pid = 0;
}

bool GraphicalSession() {
    const char* x = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (x && x[0]) || (wayland && wayland[0]);
}

}  // namespace

PlatIcon PlatLoadIcon(int resourceId) {
    for (size_t i = 0; i < sizeof kIconIds / sizeof kIconIds[0]; i++) {
        if (kIconIds[i] == resourceId) {
            gIconHandles[i] = resourceId;
            return &gIconHandles[i];
        }
    }
    return nullptr;
}

int PosixTrayIconId() { return gShown ? *static_cast<int*>(gShown) : 0; }

bool PlatTrayNotify(PlatTrayAction action, PlatWindow window, PlatIcon icon, const char*) {
    if (!window) return false;
    if (action == kTrayDelete) {
        gShown = nullptr;
    } else if (icon) {
        gShown = icon;
    }
    return true;
}

PlatMenu PlatMenuLoad() { return nullptr; }
void PlatMenuCheck(PlatMenu, int, bool) {}
void PlatMenuGray(PlatMenu, int, bool) {}
void PlatMenuTrack(PlatMenu, PlatWindow) {}
void PlatMenuDestroy(PlatMenu) {}

// The tray balloon: a desktop notification in a graphical session, otherwise a line of the
// debug output (the journal keeps it).
bool PlatTrayBalloon(PlatWindow window, const char* title, const char* text) {
    if (!window) return false;
    CollectNotifiers();
    std::string heading = title ? title : "";
    std::string body = text ? text : "";
    if (GraphicalSession()) {
        pid_t* slot = nullptr;
        for (pid_t& pid : gNotifiers)
            if (pid == 0) slot = &pid;
        std::string utf8Heading = PosixToUtf8(heading.c_str());
        std::string utf8Body = PosixToUtf8(body.c_str());
        char app[] = "--app-name=VornaAgent";
        char program[] = "notify-send";
        char endOfOptions[] = "--";  // a server's text that starts with '-' is no option
        char* argv[] = {program, app, endOfOptions, &utf8Heading[0], &utf8Body[0], nullptr};
        extern char** environ;
        pid_t pid = 0;
        if (slot && posix_spawnp(&pid, "notify-send", nullptr, nullptr, argv, environ) == 0) {
            *slot = pid;
            return true;
        }
    }
    PlatDebugWrite((heading + ": " + body).c_str());
    return true;
}
