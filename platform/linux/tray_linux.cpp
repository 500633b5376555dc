// The tray icon of a Linux desktop: a StatusNotifierItem on the session bus (the panels of KDE,
// LXQt, Xfce, GNOME's AppIndicator extension and most Wayland panels host it), registered with
// the panel's watcher and again whenever a watcher appears; notifications over the same
// connection. The bus's descriptor and time-outs join the POSIX poll loop.
#include "platform/linux/tray_linux.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "core/cp1251.h"
#include "platform/posix/posix_internal.h"
#include "tray_pixmaps.h"

namespace {

const char kItemPath[] = "/StatusNotifierItem";
const char kItemInterface[] = "org.kde.StatusNotifierItem";
const char kWatcherName[] = "org.kde.StatusNotifierWatcher";
const char kWatcherPath[] = "/StatusNotifierWatcher";
const char kNotifyName[] = "org.freedesktop.Notifications";
const char kNotifyPath[] = "/org/freedesktop/Notifications";
const char kTitle[] = "VornaAgent";
const uint64_t kNotifyTimeoutUs = 5000000;
// sd_bus_process handles one message per call: a burst beyond this waits for the next round.
const int kProcessPerRound = 64;

const char kNoWatcher[] =
    "Трей: на сессионной шине нет org.kde.StatusNotifierWatcher, агент работает без значка";
const char kNoDaemon[] =
    "Уведомления: на сессионной шине нет службы уведомлений, их текст идет в вывод";

sd_bus* gBus = nullptr;
char gItemName[64];
bool gNoWatcherSaid = false;
bool gNoDaemonSaid = false;
uint32_t gLastNotification = 0;  // replaced by the next one
TrayIcon gShownIcon = kIconNone;
bool gTrayChanged = false;  // the menu may show something else now

// Notifications waiting for their answer keep their text for the output.
const int kNotifySlots = 8;
struct PendingNotice {
    bool used;
    char line[512];
};
PendingNotice gNotices[kNotifySlots];

const char* StatusOf(TrayIcon icon) {
    bool attention = icon == kIconLimit || icon == kIconBlocked || icon == kIconError;
    return attention ? "NeedsAttention" : "Active";
}

int AppendPixmaps(sd_bus_message* m, TrayIcon icon) {
    int r = sd_bus_message_open_container(m, 'a', "(iiay)");
    if (r < 0 || icon <= kIconNone || icon > kIconError)
        return r < 0 ? r : sd_bus_message_close_container(m);
    for (const TrayPixmap& pixmap : kTrayPixmaps[icon - 1]) {
        size_t bytes = static_cast<size_t>(pixmap.size) * static_cast<size_t>(pixmap.size) * 4;
        if ((r = sd_bus_message_open_container(m, 'r', "iiay")) < 0 ||
            (r = sd_bus_message_append(m, "ii", pixmap.size, pixmap.size)) < 0 ||
            (r = sd_bus_message_append_array(m, 'y', pixmap.argb, bytes)) < 0 ||
            (r = sd_bus_message_close_container(m)) < 0)
            return r;
    }
    return sd_bus_message_close_container(m);
}

int AppendToolTip(sd_bus_message* m) {
    std::string text = LinuxBusText(gAgent.view.tooltip, true);
    int r = sd_bus_message_open_container(m, 'r', "sa(iiay)ss");
    if (r >= 0) r = sd_bus_message_append(m, "s", "");
    if (r >= 0) r = AppendPixmaps(m, kIconNone);
    if (r >= 0) r = sd_bus_message_append(m, "ss", kTitle, text.c_str());
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int GetItemProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                    void*, sd_bus_error*) {
    if (strcmp(property, "Category") == 0)
        return sd_bus_message_append(reply, "s", "Communications");
    if (strcmp(property, "Id") == 0) return sd_bus_message_append(reply, "s", "vornaagent");
    if (strcmp(property, "Title") == 0) return sd_bus_message_append(reply, "s", kTitle);
    if (strcmp(property, "Status") == 0)
        return sd_bus_message_append(reply, "s", StatusOf(gAgent.view.icon));
    if (strcmp(property, "WindowId") == 0) return sd_bus_message_append(reply, "i", 0);
    if (strcmp(property, "IconPixmap") == 0) return AppendPixmaps(reply, gAgent.view.icon);
    if (strcmp(property, "ToolTip") == 0) return AppendToolTip(reply);
    if (strcmp(property, "ItemIsMenu") == 0) return sd_bus_message_append(reply, "b", 1);
    if (strcmp(property, "Menu") == 0) return sd_bus_message_append(reply, "o", kMenuPath);
    if (strstr(property, "Pixmap") != nullptr) return AppendPixmaps(reply, kIconNone);
    return sd_bus_message_append(reply, "s", "");  // the icon names: pictures come as pixmaps
}

// A click on the icon opens the menu on Windows; here the host opens it (ItemIsMenu), and the
// core fills it as it stands.
int OnActivate(sd_bus_message* m, void*, sd_bus_error*) {
    LinuxMenuRefresh(true);
    return sd_bus_reply_method_return(m, "");
}

int OnScroll(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

const sd_bus_vtable kItemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Id", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Title", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("WindowId", "i", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconName", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("OverlayIconName", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", GetItemProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionIconName", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", GetItemProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionMovieName", "s", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", GetItemProperty, 0, 0),
    SD_BUS_PROPERTY("ItemIsMenu", "b", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Menu", "o", GetItemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Activate", "ii", "", OnActivate, 0),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", OnActivate, 0),
    SD_BUS_METHOD("ContextMenu", "ii", "", OnActivate, 0),
    SD_BUS_METHOD("Scroll", "is", "", OnScroll, 0),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END,
};

// ---- The watcher ----

int OnRegistered(sd_bus_message* m, void*, sd_bus_error*) {
    if (!sd_bus_message_is_method_error(m, nullptr)) {
        gNoWatcherSaid = false;
        DebugPrint("Трей: значок зарегистрирован");
        return 0;
    }
    if (!gNoWatcherSaid) PlatDebugWrite(kNoWatcher);
    gNoWatcherSaid = true;
    return 0;
}

void Register() {
    sd_bus_call_method_async(gBus, nullptr, kWatcherName, kWatcherPath, kWatcherName,
                             "RegisterStatusNotifierItem", OnRegistered, nullptr, "s", gItemName);
}

// A panel that restarts brings a new watcher, which knows nothing of the item.
int OnOwnerChanged(sd_bus_message* m, void*, sd_bus_error*) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
    if (name && strcmp(name, kWatcherName) == 0 && after && after[0] != '\0') Register();
    return 0;
}

// ---- Notifications ----

int OnNotified(sd_bus_message* m, void* userdata, sd_bus_error*) {
    PendingNotice* notice = static_cast<PendingNotice*>(userdata);
    if (!sd_bus_message_is_method_error(m, nullptr)) {
        uint32_t id = 0;
        if (sd_bus_message_read(m, "u", &id) >= 0) gLastNotification = id;
        gNoDaemonSaid = false;
    } else {
        if (!gNoDaemonSaid) PlatDebugWrite(kNoDaemon);
        gNoDaemonSaid = true;
        PlatDebugWrite(notice->line);
    }
    notice->used = false;
    return 0;
}

uint8_t UrgencyOf(TrayIcon icon) {
    if (icon == kIconError) return 2;
    return icon == kIconLimit || icon == kIconBlocked ? 1 : 0;
}

bool SendNotification(const char* title, const char* text, PendingNotice* notice) {
    sd_bus_message* m = nullptr;
    std::string summary = LinuxBusText(title, false);
    std::string body = LinuxBusText(text, true);
    int r =
        sd_bus_message_new_method_call(gBus, &m, kNotifyName, kNotifyPath, kNotifyName, "Notify");
    if (r >= 0)
        r = sd_bus_message_append(m, "susssas", kTitle, gLastNotification, "", summary.c_str(),
                                  body.c_str(), 0);
    if (r >= 0)
        r = sd_bus_message_append(m, "a{sv}", 1, "urgency", "y", UrgencyOf(gAgent.view.icon));
    if (r >= 0) r = sd_bus_message_append(m, "i", -1);
    if (r >= 0) r = sd_bus_call_async(gBus, nullptr, m, OnNotified, notice, kNotifyTimeoutUs);
    sd_bus_message_unref(m);
    return r >= 0;
}

// ---- The loop ----

void LoseBus() {
    if (!gBus) return;
    PosixWatchRemove(sd_bus_get_fd(gBus));
    gBus = sd_bus_flush_close_unref(gBus);
    // Their answers will never come.
    for (PendingNotice& notice : gNotices)
        notice.used = false;
}

void ProcessBus() {
    for (int i = 0; gBus && i < kProcessPerRound; i++) {
        int r = sd_bus_process(gBus, nullptr);
        if (r < 0) {
            DebugPrint("Трей: связь с сессионной шиной потеряна (%s)", strerror(-r));
            LoseBus();
            return;
        }
        if (r == 0) return;
    }
    PosixWakeSoon();
}

short WantBus(int) {
    int events = gBus ? sd_bus_get_events(gBus) : 0;
    if (events <= 0) return 0;
    return static_cast<short>(events & (POLLIN | POLLOUT));
}

void BusReady(int, short) { ProcessBus(); }

void BeforePoll() {
    uint64_t dueUs = 0;
    if (!gBus || sd_bus_get_timeout(gBus, &dueUs) < 0 || dueUs == UINT64_MAX) return;
    if (dueUs == 0) {
        PosixWakeSoon();
    } else {
        PosixWakeAt(dueUs / 1000 + 1);
    }
}

void RoundEnded() {
    if (gBus && gTrayChanged) LinuxMenuRefresh(true);
    gTrayChanged = false;
    LinuxMenuRoundEnded();
    LinuxDialogRoundEnded();
}

void LoopStopped(int) { LoseBus(); }

const PosixFace kFace = {
    LinuxDialogShowWindow, LinuxDialogStatistics, LinuxMenuLoad,  LinuxMenuCheck,
    LinuxMenuGray,         LinuxMenuShow,         LinuxDialogBox,
};

bool Export() {
    snprintf(gItemName, sizeof gItemName, "org.kde.StatusNotifierItem-%d-1",
             static_cast<int>(getpid()));
    const char match[] = "type='signal',sender='org.freedesktop.DBus',"
                         "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                         "arg0='org.kde.StatusNotifierWatcher'";
    return sd_bus_add_object_vtable(gBus, nullptr, kItemPath, kItemInterface, kItemVtable,
                                    nullptr) >= 0 &&
           LinuxMenuStart(gBus) && sd_bus_request_name(gBus, gItemName, 0) >= 0 &&
           sd_bus_add_match_async(gBus, nullptr, match, OnOwnerChanged, nullptr, nullptr) >= 0;
}

}  // namespace

std::string LinuxBusText(const char* agentText, bool markup) {
    std::string utf8 = Cp1251ToUtf8(agentText ? agentText : "");
    if (!markup) return utf8;
    std::string escaped;
    for (char c : utf8) {
        if (c == '&') {
            escaped += "&amp;";
        } else if (c == '<') {
            escaped += "&lt;";
        } else if (c == '>') {
            escaped += "&gt;";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

sd_bus* LinuxBus() { return gBus; }

void LinuxTrayStart() {
    if (gBus || sd_bus_open_user(&gBus) < 0) {
        gBus = nullptr;
        return;  // headless: no tray, notifications to the output
    }
    if (!Export() || !PosixWatchAdd({sd_bus_get_fd(gBus), WantBus, BusReady}) ||
        !PosixAddRoundHooks({nullptr, BeforePoll, ProcessBus, RoundEnded, LoopStopped})) {
        DebugPrint("Трей: объект на сессионной шине не создан");
        gBus = sd_bus_flush_close_unref(gBus);
        return;
    }
    PosixSetFace(&kFace);
    Register();
}

// The picture, the tooltip and the status follow the view; hosts read them again on the signals.
bool PlatTrayNotify(PlatTrayAction action, bool icon, bool tip) {
    if (!gBus || action == kTrayDelete) return true;
    gTrayChanged = true;
    TrayIcon now = gAgent.view.icon;
    if (icon && now != gShownIcon) {
        bool statusChanged =
            gShownIcon == kIconNone || strcmp(StatusOf(gShownIcon), StatusOf(now)) != 0;
        gShownIcon = now;
        sd_bus_emit_signal(gBus, kItemPath, kItemInterface, "NewIcon", "");
        if (statusChanged)
            sd_bus_emit_signal(gBus, kItemPath, kItemInterface, "NewStatus", "s", StatusOf(now));
    }
    if (tip) sd_bus_emit_signal(gBus, kItemPath, kItemInterface, "NewToolTip", "");
    return true;
}

void LinuxNotify(const char* title, const char* text) {
    char line[512];
    snprintf(line, sizeof line, "%s: %s", title ? title : "", text ? text : "");
    PendingNotice* notice = nullptr;
    for (PendingNotice& slot : gNotices)
        if (!slot.used) notice = &slot;
    if (gBus && notice) {
        memcpy(notice->line, line, sizeof line);
        notice->used = true;
        if (SendNotification(title, text, notice)) return;
        notice->used = false;
    }
    PlatDebugWrite(line);
}

bool PlatNotify(const char* title, const char* text) {
    LinuxNotify(title, text);
    return true;
}
