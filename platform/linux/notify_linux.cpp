// No tray here: `status` reads the core's view. Notifications go to the desktop with
// notify-send in a graphical session, to the debug output otherwise.
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/cp1251.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

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

bool PlatTrayNotify(PlatTrayAction, bool, bool) { return true; }

// A desktop notification in a graphical session, otherwise a line of the debug output (the
// journal keeps it).
bool PlatNotify(const char* title, const char* text) {
    CollectNotifiers();
    std::string heading = title ? title : "";
    std::string body = text ? text : "";
    if (GraphicalSession()) {
        pid_t* slot = nullptr;
        for (pid_t& pid : gNotifiers)
            if (pid == 0) slot = &pid;
        std::string utf8Heading = Cp1251ToUtf8(heading);
        std::string utf8Body = Cp1251ToUtf8(body);
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
