// The tray has no counterpart here: the icon's role and the tooltip are kept for `status`, and
// the menu is never shown (its commands come from the control socket).
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "res/resource_ids.h"

namespace {

// One distinct handle per icon: the core compares them; `status` names them.
const int kIconIds[] = {IDI_CONNECTED, IDI_NET_ERROR, IDI_PROGRESS,
                        IDI_BLOCKED,   IDI_LIMIT,     IDI_DISCONNECTED};
int gIconHandles[sizeof kIconIds / sizeof kIconIds[0]];
PlatIcon gShown = nullptr;

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
