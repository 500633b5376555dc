// vorna_driver: acts on another program's windows the way a user or Windows would, one action
// per run, and prints what it sees as "key=value" lines. Texts travel as CP1251 bytes: on the
// command line as --text-hex / --caption-hex (or plain --text / --caption), in the output as
// *_hex plus a UTF-8 copy for people.
//
// Exit codes: 0 done, 1 the condition was not met (not found, timed out, refused), 2 usage.
#include "driver_support.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace {

const int kExitDone = 0;
const int kExitNotMet = 1;
const int kExitUsage = 2;

const UINT kTrayCallbackMessage = WM_USER + 1;
const int kMessageBoxTextId = 0xFFFF;
const int kMessageBoxIconId = 0x440;
const UINT kMnGetHMenu = 0x01E1;

// ---- Commands ----

int CmdListWindows(const Args& args) {
    Selector s;
    ParseSelector(args, &s);
    if (args.Has("visible")) s.visible = (int)args.Number("visible", 1);
    int n = 0;
    for (HWND w : FindTop(s)) {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "w%d.", n++);
        PrintWindow(prefix, w);
    }
    printf("count=%d\n", n);
    return kExitDone;
}

int CmdWaitWindow(const Args& args, Selector s) {
    DWORD timeout = (DWORD)args.Number("timeout", kDefaultTimeoutMs);
    bool gone = args.Number("gone", 0) != 0;
    if (args.Has("visible")) s.visible = (int)args.Number("visible", 1);
    HWND result = nullptr;
    bool met = PollUntil(timeout, [&] {
        std::vector<HWND> found = FindTop(s);
        result = found.empty() ? nullptr : found.front();
        return gone ? found.empty() : !found.empty();
    });
    printf("met=%d\n", met ? 1 : 0);
    if (result) PrintWindow("", result);
    return met ? kExitDone : kExitNotMet;
}

int CmdWindowVisible(const Args& args, const Selector& s) {
    HWND w = FindOne(args, s);
    if (!w) return kExitNotMet;
    printf("visible=%d\n", IsWindowVisible(w) ? 1 : 0);
    return kExitDone;
}

int CmdGetText(const Args& args, HWND window) {
    HWND c = Control(window, args);
    if (!c) return kExitNotMet;
    PrintText("text", WindowText(c));
    return kExitDone;
}

int CmdSetText(const Args& args, HWND window) {
    std::string text;
    if (!args.Text("text", &text)) return kExitUsage;
    HWND c = Control(window, args);
    if (!c) return kExitNotMet;
    DWORD_PTR result = 0;
    std::wstring wide = WideFromCp1251(text);
    SendMessageTimeoutW(c, WM_SETTEXT, 0, (LPARAM)wide.c_str(), SMTO_ABORTIFHUNG, 2000, &result);
    printf("result=%ld\n", (long)result);
    return kExitDone;
}

// Typing: one WM_CHAR per character, posted in order, as the keyboard would deliver them.
int CmdType(const Args& args, HWND window) {
    std::string text;
    if (!args.Text("text", &text)) return kExitUsage;
    HWND c = Control(window, args);
    if (!c) return kExitNotMet;
    // As UTF-16, the way a keyboard types Cyrillic on any Windows.
    for (wchar_t ch : WideFromCp1251(text))
        PostMessageW(c, WM_CHAR, ch, 1);
    printf("typed=%u\n", (unsigned)text.size());
    return kExitDone;
}

int CmdClick(const Args& args, HWND window) {
    HWND c = Control(window, args);
    if (!c) return kExitNotMet;
    // Posted, so a handler that opens a modal box does not hold the driver.
    PostMessageA(c, BM_CLICK, 0, 0);
    printf("clicked=1\n");
    return kExitDone;
}

int CmdGetCheck(const Args& args, HWND window) {
    HWND c = Control(window, args);
    if (!c) return kExitNotMet;
    bool answered = false;
    LRESULT state = SendQuiet(c, BM_GETCHECK, 0, 0, 2000, &answered);
    printf("checked=%ld\n", (long)state);
    return answered ? kExitDone : kExitNotMet;
}

// Sets a check box the way a user does: by clicking it when it is not in the wanted state.
int CmdCheck(const Args& args, HWND window) {
    if (!args.Has("state")) return kExitUsage;
    long wanted = args.Number("state", 1);
    HWND c = Control(window, args);
    if (!c) return kExitNotMet;
    bool answered = false;
    if (SendQuiet(c, BM_GETCHECK, 0, 0, 2000, &answered) != wanted) PostMessageA(c, BM_CLICK, 0, 0);
    bool met = PollUntil((DWORD)args.Number("timeout", kDefaultTimeoutMs), [&] {
        return SendQuiet(c, BM_GETCHECK, 0, 0, 2000, &answered) == wanted;
    });
    printf("checked=%ld\n", met ? wanted : !wanted);
    return met ? kExitDone : kExitNotMet;
}

int CmdCommand(const Args& args, HWND window) {
    if (!args.Has("id")) return kExitUsage;
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(args.Number("id", 0), 0), 0);
    printf("posted=1\n");
    return kExitDone;
}

int CmdPost(const Args& args, HWND window) {
    if (!args.Has("msg")) return kExitUsage;
    BOOL ok = PostMessageA(window, (UINT)args.Number("msg", 0), (WPARAM)args.Number("wparam", 0),
                           (LPARAM)args.Number("lparam", 0));
    printf("posted=%d\n", ok ? 1 : 0);
    return ok ? kExitDone : kExitNotMet;
}

int CmdSend(const Args& args, HWND window) {
    if (!args.Has("msg")) return kExitUsage;
    bool answered = false;
    LRESULT r = SendQuiet(window, (UINT)args.Number("msg", 0), (WPARAM)args.Number("wparam", 0),
                          (LPARAM)args.Number("lparam", 0),
                          (DWORD)args.Number("timeout", kDefaultTimeoutMs), &answered);
    printf("answered=%d\n", answered ? 1 : 0);
    printf("result=%ld\n", (long)r);
    return answered ? kExitDone : kExitNotMet;
}

int CmdFocus(const Args&, HWND window) {
    HWND focus = FocusOf(window);
    printf("focus=0x%lx\n", (unsigned long)(uintptr_t)focus);
    printf("focus_id=%d\n", focus ? GetDlgCtrlID(focus) : 0);
    return focus ? kExitDone : kExitNotMet;
}

// A key press as the keyboard delivers it: down and up to the focused control (or --id), with
// the scan code in lParam. The target's message loop translates it into WM_CHAR if it wants one.
int CmdKey(const Args& args, HWND window) {
    if (!args.Has("vk")) return kExitUsage;
    UINT vk = (UINT)args.Number("vk", 0);
    HWND target = nullptr;
    if (args.Has("id")) {
        target = Control(window, args);
    } else {
        target = FocusOf(window);
        if (!target) target = window;
    }
    if (!target) return kExitNotMet;
    PostKey(target, vk);
    printf("target=0x%lx\n", (unsigned long)(uintptr_t)target);
    printf("target_id=%d\n", GetDlgCtrlID(target));
    return kExitDone;
}

// Which system icon a message box shows; icons are compared inside the box's process.
std::string IconKind(HWND box) {
    HWND icon = GetDlgItem(box, kMessageBoxIconId);
    if (!icon) return "none";
    Query q = {};
    q.kind = kQueryIconKind;
    q.handle = (uint32_t)(uintptr_t)icon;
    if (!AskInside(box, &q)) return "unknown";
    return q.answer;
}

BOOL CALLBACK PrintButton(HWND child, LPARAM param) {
    int* n = reinterpret_cast<int*>(param);
    if (ClassOf(child) != "Button") return TRUE;
    printf("button%d.id=%d\n", *n, GetDlgCtrlID(child));
    std::string key = "button" + std::to_string(*n) + ".text";
    PrintText(key.c_str(), WindowText(child));
    ++*n;
    return TRUE;
}

// A message box is a dialog-class window with the caption and a text control of id 0xFFFF.
// Only a shown box counts: that is when a user can see and press it.
HWND FindBox(Selector s, DWORD timeout) {
    s.className = "#32770";
    s.visible = 1;
    HWND box = nullptr;
    PollUntil(timeout, [&] {
        for (HWND w : FindTop(s)) {
            if (GetDlgItem(w, kMessageBoxTextId)) {
                box = w;
                return true;
            }
        }
        return false;
    });
    return box;
}

int CmdFindBox(const Args& args, const Selector& s) {
    HWND box = FindBox(s, (DWORD)args.Number("timeout", kDefaultTimeoutMs));
    printf("found=%d\n", box ? 1 : 0);
    if (!box) return kExitNotMet;
    PrintWindow("", box);
    PrintText("text", WindowText(GetDlgItem(box, kMessageBoxTextId)));
    printf("icon=%s\n", IconKind(box).c_str());
    HWND owner = GetWindow(box, GW_OWNER);
    printf("owned=%d\n", owner ? 1 : 0);
    if (owner) PrintText("owner_caption", CaptionOf(owner));
    int n = 0;
    EnumChildWindows(box, PrintButton, reinterpret_cast<LPARAM>(&n));
    printf("buttons=%d\n", n);
    return kExitDone;
}

int CmdPressBox(const Args& args, const Selector& s) {
    DWORD timeout = (DWORD)args.Number("timeout", kDefaultTimeoutMs);
    HWND box = FindBox(s, timeout);
    printf("found=%d\n", box ? 1 : 0);
    if (!box) return kExitNotMet;
    HWND button = GetDlgItem(box, (int)args.Number("button", IDOK));
    if (!button) {
        printf("button=0\n");
        return kExitNotMet;
    }
    PostMessageA(button, BM_CLICK, 0, 0);
    bool closed = PollUntil(timeout, [&] { return !IsWindow(box); });
    printf("closed=%d\n", closed ? 1 : 0);
    return closed ? kExitDone : kExitNotMet;
}

int CmdTrayMessage(const Args& args, HWND window) {
    if (!args.Has("lparam")) return kExitUsage;
    // As the shell reports mouse events on an icon: wParam the icon id, lParam the mouse message.
    BOOL ok = PostMessageA(window, (UINT)args.Number("msg", kTrayCallbackMessage),
                           (WPARAM)args.Number("wparam", 0), (LPARAM)args.Number("lparam", 0));
    printf("posted=%d\n", ok ? 1 : 0);
    return ok ? kExitDone : kExitNotMet;
}

// Asks the shell whether the window's tray icon (id --wparam, default 0) is there: a modify
// that changes nothing succeeds only for an icon the shell has. --delete 1 removes it first,
// as a restarting shell loses every icon.
int CmdTrayIcon(const Args& args, HWND window) {
    NOTIFYICONDATAA data = {};
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = window;
    data.uID = (UINT)args.Number("wparam", 0);
    if (args.Number("delete", 0))
        printf("deleted=%d\n", Shell_NotifyIconA(NIM_DELETE, &data) ? 1 : 0);
    printf("exists=%d\n", Shell_NotifyIconA(NIM_MODIFY, &data) ? 1 : 0);
    return kExitDone;
}

int CmdBroadcastTaskbarCreated(const Args& args) {
    UINT msg = RegisterWindowMessageA("TaskbarCreated");
    DWORD_PTR result = 0;
    LRESULT ok = SendMessageTimeoutA(HWND_BROADCAST, msg, 0, 0, SMTO_ABORTIFHUNG,
                                     (UINT)args.Number("timeout", kDefaultTimeoutMs), &result);
    printf("message=%u\n", msg);
    printf("answered=%d\n", ok ? 1 : 0);
    return ok ? kExitDone : kExitNotMet;
}

// ---- Popup menus ----

// The shown popup menu (class #32768), of the selected window's thread when one is selected.
HWND FindMenuWindow(const Args& args, DWORD timeout) {
    Selector owner;
    DWORD ownerTid = 0;
    if (ParseSelector(args, &owner)) {
        std::vector<HWND> found = FindTop(owner);
        if (!found.empty()) ownerTid = GetWindowThreadProcessId(found.front(), nullptr);
    }
    Selector s;
    s.className = "#32768";
    s.visible = 1;
    HWND menu = nullptr;
    PollUntil(timeout, [&] {
        for (HWND w : FindTop(s)) {
            if (ownerTid && GetWindowThreadProcessId(w, nullptr) != ownerTid) continue;
            menu = w;
            return true;
        }
        return false;
    });
    return menu;
}

bool ReadMenu(HWND menuWindow, std::vector<QueryMenuItem>* items) {
    bool answered = false;
    HMENU menu = (HMENU)SendQuiet(menuWindow, kMnGetHMenu, 0, 0, 2000, &answered);
    if (!answered || !menu) return false;
    Query* q = new Query();
    q->kind = kQueryMenu;
    q->handle = (uint32_t)(uintptr_t)menu;
    bool ok = AskInside(menuWindow, q);
    for (int i = 0; ok && i < q->count && i < kQueryMaxItems; ++i)
        items->push_back(q->items[i]);
    delete q;
    return ok;
}

void PrintMenu(const std::vector<QueryMenuItem>& items) {
    for (size_t i = 0; i < items.size(); ++i) {
        const QueryMenuItem& it = items[i];
        char prefix[32];
        snprintf(prefix, sizeof prefix, "item%u.", (unsigned)i);
        printf("%sid=%u\n", prefix, it.id);
        printf("%sseparator=%d\n", prefix, (it.type & MFT_SEPARATOR) ? 1 : 0);
        printf("%schecked=%d\n", prefix, (it.state & MFS_CHECKED) ? 1 : 0);
        printf("%sgrayed=%d\n", prefix, (it.state & MFS_GRAYED) ? 1 : 0);
        std::string key = std::string(prefix) + "text";
        PrintText(key.c_str(), it.text);
    }
    printf("items=%u\n", (unsigned)items.size());
}

bool WaitMenuClosed(HWND menuWindow, DWORD timeout) {
    return PollUntil(timeout,
                     [&] { return !IsWindow(menuWindow) || !IsWindowVisible(menuWindow); });
}

int CmdMenu(const Args& args) {
    DWORD timeout = (DWORD)args.Number("timeout", kDefaultTimeoutMs);
    HWND menuWindow = FindMenuWindow(args, timeout);
    printf("found=%d\n", menuWindow ? 1 : 0);
    if (!menuWindow) return kExitNotMet;
    std::vector<QueryMenuItem> items;
    if (!ReadMenu(menuWindow, &items)) {
        printf("read=0\n");
        return kExitNotMet;
    }
    PrintMenu(items);
    if (args.Number("close", 0)) {
        PostKey(menuWindow, VK_ESCAPE);
        printf("closed=%d\n", WaitMenuClosed(menuWindow, timeout) ? 1 : 0);
    }
    return kExitDone;
}

// Chooses an item with the keyboard, as a user would: Down to it, then Enter. A greyed item
// cannot be chosen; the menu is then closed with Escape and the run reports it.
int CmdMenuChoose(const Args& args) {
    if (!args.Has("id")) return kExitUsage;
    UINT id = (UINT)args.Number("id", 0);
    DWORD timeout = (DWORD)args.Number("timeout", kDefaultTimeoutMs);
    HWND menuWindow = FindMenuWindow(args, timeout);
    printf("found=%d\n", menuWindow ? 1 : 0);
    if (!menuWindow) return kExitNotMet;
    std::vector<QueryMenuItem> items;
    if (!ReadMenu(menuWindow, &items)) {
        printf("read=0\n");
        return kExitNotMet;
    }
    int downs = 0;
    const QueryMenuItem* chosen = nullptr;
    for (const QueryMenuItem& it : items) {
        if (it.type & MFT_SEPARATOR) continue;
        ++downs;
        if (it.id == id) {
            chosen = &it;
            break;
        }
    }
    if (!chosen || (chosen->state & MFS_GRAYED)) {
        printf("chosen=0\n");
        printf("grayed=%d\n", chosen ? 1 : 0);
        PostKey(menuWindow, VK_ESCAPE);
        printf("closed=%d\n", WaitMenuClosed(menuWindow, timeout) ? 1 : 0);
        return kExitNotMet;
    }
    for (int i = 0; i < downs; ++i)
        PostKey(menuWindow, VK_DOWN);
    PostKey(menuWindow, VK_RETURN);
    bool closed = WaitMenuClosed(menuWindow, timeout);
    printf("chosen=%d\n", closed ? 1 : 0);
    printf("closed=%d\n", closed ? 1 : 0);
    return closed ? kExitDone : kExitNotMet;
}

void Usage() {
    fputs("usage: vorna_driver COMMAND [--caption T|--caption-hex H] [--class C] [--pid P]\n"
          "       [--exe PATH|--exe-hex H] [--hwnd H] [--id N] [--timeout MS] ...\n"
          "commands: list-windows [--visible 0|1]; wait-window [--visible 0|1] [--gone 1];\n"
          "  window-visible; get-text [--id N]; set-text --id N --text[-hex] T;\n"
          "  type --id N --text[-hex] T; click --id N; check --id N --state 0|1;\n"
          "  get-check --id N; command --id N; post --msg N [--wparam W] [--lparam L];\n"
          "  send --msg N [--wparam W] [--lparam L]; key [--id N] --vk N; focus;\n"
          "  find-box; press-box [--button ID]; tray-message --lparam N [--wparam W];\n"
          "  tray-icon [--delete 1]; menu [--close 1]; menu-choose --id N;\n"
          "  broadcast-taskbar-created\n",
          stderr);
}

typedef int (*WindowCommand)(const Args&, HWND);

const struct {
    const char* name;
    WindowCommand run;
} kWindowCommands[] = {
    {"get-text", CmdGetText},   {"set-text", CmdSetText},
    {"type", CmdType},          {"click", CmdClick},
    {"check", CmdCheck},        {"get-check", CmdGetCheck},
    {"command", CmdCommand},    {"post", CmdPost},
    {"send", CmdSend},          {"key", CmdKey},
    {"focus", CmdFocus},        {"tray-message", CmdTrayMessage},
    {"tray-icon", CmdTrayIcon},
};

int Run(const Args& args) {
    if (args.command == "list-windows") return CmdListWindows(args);
    if (args.command == "broadcast-taskbar-created") return CmdBroadcastTaskbarCreated(args);
    if (args.command == "menu") return CmdMenu(args);
    if (args.command == "menu-choose") return CmdMenuChoose(args);
    Selector s;
    bool selected = ParseSelector(args, &s);
    if (args.command == "find-box") return CmdFindBox(args, s);
    if (args.command == "press-box") return CmdPressBox(args, s);
    if (!selected) return kExitUsage;
    if (args.command == "wait-window") return CmdWaitWindow(args, s);
    if (args.command == "window-visible") return CmdWindowVisible(args, s);
    for (const auto& c : kWindowCommands) {
        if (args.command != c.name) continue;
        HWND w = FindOne(args, s);
        return w ? c.run(args, w) : kExitNotMet;
    }
    return kExitUsage;
}

}  // namespace

int main() {
    // Output goes to a file; keep "\n" as written so the reader sees the same bytes on any host.
    _setmode(_fileno(stdout), _O_BINARY);
    Args args;
    int code = ParseArgs(&args) ? Run(args) : kExitUsage;
    if (code == kExitUsage) Usage();
    fflush(stdout);
    return code;
}
