// The tray menu over com.canonical.dbusmenu: the Windows menu's items, in its order with its
// separators. The host draws it; the core fills it (greyed, checked) as it does for a click, and
// a chosen item arrives as the item's command, as WM_COMMAND does on Windows.
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "platform/events.h"
#include "platform/linux/tray_linux.h"
#include "platform/posix/posix_internal.h"
#include "res/resource_ids.h"

namespace {

const char kMenuInterface[] = "com.canonical.dbusmenu";

// Separators have ids of their own (a dbusmenu item needs one); no command uses 1 to 4.
struct MenuEntry {
    int id;
    const char* label;  // nullptr: a separator
};
const MenuEntry kMenu[] = {
    {IDM_CONNECT, "Подключить"},
    {IDM_DISCONNECT, "Отключить"},
    {1, nullptr},
    {IDM_INFO, "Информация"},
    {2, nullptr},
    {IDM_AUTORUN, "Запускаться при входе в систему"},
    {3, nullptr},
    {IDM_ABOUT, "О программе"},
    {4, nullptr},
    {IDM_EXIT, "Выход"},
};
const int kMenuCount = sizeof kMenu / sizeof kMenu[0];

struct ItemState {
    bool grayed;
    bool checked;
};
ItemState gShown[kMenuCount];
ItemState gFilling[kMenuCount];
bool gChanged = false;
uint32_t gRevision = 1;
sd_bus* gMenuBus = nullptr;
bool gConnectChosen = false;
bool gConnectPosted = false;  // the round of the click has ended: its command runs next

int IndexOf(int id) {
    for (int i = 0; i < kMenuCount; i++)
        if (kMenu[i].id == id) return i;
    return -1;
}

// A property the caller asked for: all of them when it named none.
bool Wanted(char** names, const char* name) {
    if (names == nullptr || names[0] == nullptr) return true;
    for (char** n = names; *n; n++)
        if (strcmp(*n, name) == 0) return true;
    return false;
}

int AppendProperties(sd_bus_message* m, int index, char** names) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (index < 0) {
        if (r >= 0 && Wanted(names, "children-display"))
            r = sd_bus_message_append(m, "{sv}", "children-display", "s", "submenu");
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    const MenuEntry& entry = kMenu[index];
    if (entry.label == nullptr) {
        if (r >= 0 && Wanted(names, "type"))
            r = sd_bus_message_append(m, "{sv}", "type", "s", "separator");
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    std::string label = LinuxBusText(entry.label, false);
    if (r >= 0 && Wanted(names, "label"))
        r = sd_bus_message_append(m, "{sv}", "label", "s", label.c_str());
    if (r >= 0 && Wanted(names, "enabled"))
        r = sd_bus_message_append(m, "{sv}", "enabled", "b", !gShown[index].grayed);
    if (entry.id == IDM_AUTORUN) {
        if (r >= 0 && Wanted(names, "toggle-type"))
            r = sd_bus_message_append(m, "{sv}", "toggle-type", "s", "checkmark");
        if (r >= 0 && Wanted(names, "toggle-state"))
            r = sd_bus_message_append(m, "{sv}", "toggle-state", "i",
                                      gShown[index].checked ? 1 : 0);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// One item (index -1: the root, whose children are the items) as "(ia{sv}av)".
int AppendItem(sd_bus_message* m, int index, int depth, char** names) {
    int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
    if (r >= 0) r = sd_bus_message_append(m, "i", index < 0 ? 0 : kMenu[index].id);
    if (r >= 0) r = AppendProperties(m, index, names);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "v");
    for (int i = 0; r >= 0 && index < 0 && depth != 0 && i < kMenuCount; i++) {
        r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
        if (r >= 0) r = AppendItem(m, i, depth - 1, names);
        if (r >= 0) r = sd_bus_message_close_container(m);
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r < 0 ? r : sd_bus_message_close_container(m);
}

void FreeNames(char** names) {
    for (char** n = names; n && *n; n++)
        free(*n);
    free(names);
}

int GetLayout(sd_bus_message* m, void*, sd_bus_error* error) {
    int parent = 0, depth = 0;
    char** names = nullptr;
    int r = sd_bus_message_read(m, "ii", &parent, &depth);
    if (r >= 0) r = sd_bus_message_read_strv(m, &names);
    if (r < 0) return r;
    int index = parent == 0 ? -1 : IndexOf(parent);
    if (parent != 0 && index < 0) {
        FreeNames(names);
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "no such menu item");
    }
    LinuxMenuRefresh(false);
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_append(reply, "u", gRevision);
    if (r >= 0) r = AppendItem(reply, index, depth, names);
    FreeNames(names);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int GetGroupProperties(sd_bus_message* m, void*, sd_bus_error*) {
    const int32_t* ids = nullptr;
    size_t bytes = 0;
    char** names = nullptr;
    int r = sd_bus_message_read_array(m, 'i', reinterpret_cast<const void**>(&ids), &bytes);
    if (r >= 0) r = sd_bus_message_read_strv(m, &names);
    if (r < 0) return r;
    LinuxMenuRefresh(false);
    size_t count = bytes / sizeof(int32_t);
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
    for (int i = 0; r >= 0 && i < kMenuCount; i++) {
        bool asked = count == 0;
        for (size_t k = 0; k < count; k++)
            if (ids[k] == kMenu[i].id) asked = true;
        if (!asked) continue;
        r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
        if (r >= 0) r = sd_bus_message_append(reply, "i", kMenu[i].id);
        if (r >= 0) r = AppendProperties(reply, i, names);
        if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    FreeNames(names);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int GetProperty(sd_bus_message* m, void*, sd_bus_error* error) {
    int id = 0;
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &name);
    if (r < 0) return r;
    int index = IndexOf(id);
    if (index < 0 || kMenu[index].label == nullptr)
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "no such property");
    LinuxMenuRefresh(false);
    if (strcmp(name, "label") == 0)
        return sd_bus_reply_method_return(m, "v", "s",
                                          LinuxBusText(kMenu[index].label, false).c_str());
    if (strcmp(name, "enabled") == 0)
        return sd_bus_reply_method_return(m, "v", "b", !gShown[index].grayed);
    if (strcmp(name, "toggle-state") == 0 && kMenu[index].id == IDM_AUTORUN)
        return sd_bus_reply_method_return(m, "v", "i", gShown[index].checked ? 1 : 0);
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "no such property");
}

// A click on an item that is shown enabled runs its command on the next round, as a posted
// WM_COMMAND would; other events (hovered, opened, closed) change nothing.
bool Clicked(int id, const char* event) {
    int index = IndexOf(id);
    if (index < 0 || kMenu[index].label == nullptr || strcmp(event, "clicked") != 0)
        return index >= 0;
    if (gShown[index].grayed) return true;
    if (id == IDM_CONNECT) gConnectChosen = true;
    PlatPostCommand(id);
    return true;
}

int OnEvent(sd_bus_message* m, void*, sd_bus_error*) {
    int id = 0;
    const char* event = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &event);
    if (r < 0) return r;
    Clicked(id, event);
    return sd_bus_reply_method_return(m, "");
}

int OnEventGroup(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t unknown[kMenuCount + 1];
    int missing = 0;
    int r = sd_bus_message_enter_container(m, 'a', "(isvu)");
    while (r > 0) {
        int id = 0;
        const char* event = nullptr;
        r = sd_bus_message_enter_container(m, 'r', "isvu");
        if (r <= 0) break;
        if ((r = sd_bus_message_read(m, "is", &id, &event)) < 0 ||
            (r = sd_bus_message_skip(m, "vu")) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
            return r;
        if (!Clicked(id, event) && missing < kMenuCount + 1) unknown[missing++] = id;
        r = 1;
    }
    if (r < 0) return r;
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'i', unknown, missing * sizeof(int32_t));
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int OnAboutToShow(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "b", LinuxMenuRefresh(false));
}

int OnAboutToShowGroup(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t root = 0;
    bool changed = LinuxMenuRefresh(false);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'i', &root, changed ? sizeof root : 0);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'i', &root, 0);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int GetMenuProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                    void*, sd_bus_error*) {
    if (strcmp(property, "Version") == 0) return sd_bus_message_append(reply, "u", 3);
    if (strcmp(property, "TextDirection") == 0) return sd_bus_message_append(reply, "s", "ltr");
    if (strcmp(property, "Status") == 0) return sd_bus_message_append(reply, "s", "normal");
    return sd_bus_message_append(reply, "as", 0);  // IconThemePath
}

const sd_bus_vtable kMenuVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", GetMenuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TextDirection", "s", GetMenuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", GetMenuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconThemePath", "as", GetMenuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", GetLayout, 0),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", GetGroupProperties, 0),
    SD_BUS_METHOD("GetProperty", "is", "v", GetProperty, 0),
    SD_BUS_METHOD("Event", "isvu", "", OnEvent, 0),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", OnEventGroup, 0),
    SD_BUS_METHOD("AboutToShow", "i", "b", OnAboutToShow, 0),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", OnAboutToShowGroup, 0),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

bool LinuxMenuStart(sd_bus* bus) {
    gMenuBus = bus;
    return sd_bus_add_object_vtable(bus, nullptr, kMenuPath, kMenuInterface, kMenuVtable,
                                    nullptr) >= 0;
}

bool LinuxMenuRefresh(bool announce) {
    gChanged = false;
    OnTrayEvent(kTrayMouseButton);
    bool changed = gChanged;
    if (changed && announce && gMenuBus && LinuxBus())
        sd_bus_emit_signal(gMenuBus, kMenuPath, kMenuInterface, "LayoutUpdated", "ui", gRevision,
                           0);
    return changed;
}

bool LinuxMenuLoad() {
    memset(gFilling, 0, sizeof gFilling);
    return true;
}

void LinuxMenuCheck(int id, bool checked) {
    int index = IndexOf(id);
    if (index >= 0) gFilling[index].checked = checked;
}

void LinuxMenuGray(int id, bool grayed) {
    int index = IndexOf(id);
    if (index >= 0) gFilling[index].grayed = grayed;
}

void LinuxMenuShow() {
    if (memcmp(gShown, gFilling, sizeof gShown) == 0) return;
    memcpy(gShown, gFilling, sizeof gShown);
    gRevision++;
    gChanged = true;
}

bool LinuxConnectChosen() { return gConnectChosen; }

void LinuxMenuRoundEnded() {
    // The command a click posted has run by the end of the next round.
    if (gConnectChosen && gConnectPosted) gConnectChosen = false;
    gConnectPosted = gConnectChosen;
}
