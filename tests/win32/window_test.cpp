// The window procedures, the message loop and the tray menu with the real dialog manager:
// each message must become exactly the one handler call the core expects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/events.h"
#include "core/timings.h"
#include "platform/win32/messages.h"
#include "platform/win32/world_win.h"
#include "recording_handlers.h"
#include "res/resource_ids.h"
#include "session/world.h"
#include "wine_test_util.h"

namespace {

using Calls = std::vector<std::string>;

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        main = static_cast<HWND>(PlatCreateDialog(kDialogLogon));
        stats = static_cast<HWND>(PlatCreateDialog(kDialogStats));
        ASSERT_NE(nullptr, main) << "dialog " << IDD_LOGON << " missing from the resources";
        ASSERT_NE(nullptr, stats) << "dialog " << IDD_STATS << " missing from the resources";
        gHandlerCalls.clear();
    }
    void TearDown() override {
        PlatDestroyWindow(main);
        PlatDestroyWindow(stats);
    }
    HWND main = nullptr;
    HWND stats = nullptr;
};

struct Delivery {
    const char* what;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    Calls calls;
};

TEST_F(WindowTest, MainWindowMessagesBecomeOneHandlerCallEach) {
    const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    const Delivery deliveries[] = {
        {"button click", WM_COMMAND, MAKEWPARAM(IDC_CONNECT, BN_CLICKED), 0, {"OnCommand 108"}},
        {"menu command", WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0, {"OnCommand 4015"}},
        {"timer", WM_TIMER, 5, 0, {"OnTimer 5"}},
        {"close box", WM_CLOSE, 0, 0, {"OnMainWindowClose"}},
        {"tray hover", kMsgTrayCallback, 0, WM_MOUSEMOVE, {"OnTrayEvent move"}},
        {"tray left click", kMsgTrayCallback, 0, WM_LBUTTONDOWN, {"OnTrayEvent button"}},
        {"tray left double", kMsgTrayCallback, 0, WM_LBUTTONDBLCLK, {"OnTrayEvent button"}},
        {"tray right click", kMsgTrayCallback, 0, WM_RBUTTONDOWN, {"OnTrayEvent button"}},
        {"tray right double", kMsgTrayCallback, 0, WM_RBUTTONDBLCLK, {"OnTrayEvent button"}},
        {"tray button up", kMsgTrayCallback, 0, WM_LBUTTONUP, {"OnTrayEvent other"}},
        {"tray middle", kMsgTrayCallback, 0, WM_MBUTTONDOWN, {"OnTrayEvent other"}},
        {"socket refused",
         kMsgSocketNotify,
         1234,
         WSAMAKESELECTREPLY(FD_CONNECT, 10061),
         {"OnSocketEvent 1234 16 10061"}},
        {"socket read",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_READ, 0),
         {"OnSocketEvent 77 1 0"}},
        {"session ends", WM_ENDSESSION, TRUE, 0, {"OnEndSession 1 0"}},
        {"session goes on", WM_ENDSESSION, FALSE, 0, {"OnEndSession 0 0"}},
        {"installer replaces the exe",
         WM_ENDSESSION,
         TRUE,
         ENDSESSION_CLOSEAPP,
         {"OnEndSession 1 1"}},
        {"explorer restarted", taskbarCreated, 0, 0, {"OnTaskbarCreated"}},
        {"resume, automatic",
         WM_POWERBROADCAST,
         PBT_APMRESUMEAUTOMATIC,
         0,
         {std::string("OnWorldChange ") + kWorldResume}},
        {"resume, user present",
         WM_POWERBROADCAST,
         PBT_APMRESUMESUSPEND,
         0,
         {std::string("OnWorldChange ") + kWorldResume}},
        {"going to sleep", WM_POWERBROADCAST, PBT_APMSUSPEND, 0, {}},
        {"address list changed",
         kMsgAddressChange,
         0,
         WSAMAKESELECTREPLY(FD_ADDRESS_LIST_CHANGE, 0),
         {std::string("OnWorldChange ") + kWorldAddressChange}},
        {"address socket, another event", kMsgAddressChange, 0, WSAMAKESELECTREPLY(FD_READ, 0), {}},
        {"unrelated private message", WM_USER + 50, 0, 0, {}},
    };
    for (const Delivery& d : deliveries) {
        gHandlerCalls.clear();
        SendMessageA(main, d.message, d.wParam, d.lParam);
        EXPECT_EQ(d.calls, gHandlerCalls) << d.what;
    }
}

// Handled, it would answer "no" and keep Windows from ending the session.
TEST_F(WindowTest, QueryEndSessionLogsOffAndLetsTheSessionEnd) {
    EXPECT_NE(0, SendMessageA(main, WM_QUERYENDSESSION, 0, 0));
    EXPECT_EQ(Calls{"LogoutAtSessionEnd"}, gHandlerCalls);
}

TEST_F(WindowTest, StatsWindowMessagesBecomeOneHandlerCallEach) {
    const Delivery deliveries[] = {
        {"OK button", WM_COMMAND, MAKEWPARAM(IDC_STATS_OK, BN_CLICKED), 0, {"OnStatsCommand 203"}},
        {"close box", WM_CLOSE, 0, 0, {"OnStatsClose"}},
        {"timer is not its business", WM_TIMER, 1, 0, {}},
    };
    for (const Delivery& d : deliveries) {
        gHandlerCalls.clear();
        SendMessageA(stats, d.message, d.wParam, d.lParam);
        EXPECT_EQ(d.calls, gHandlerCalls) << d.what;
    }
}

// The edits also notify their parent (EN_CHANGE...); only the typing calls are counted here.
size_t TypedCount() {
    size_t n = 0;
    for (const std::string& call : gHandlerCalls)
        n += call == "OnPasswordTyped";
    return n;
}

TEST_F(WindowTest, TypingInThePasswordFieldIsSeenAndStillTyped) {
    HWND field = GetDlgItem(main, IDC_PASSWORD);
    ASSERT_NE(nullptr, field);
    SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("password"));
    EXPECT_EQ(0u, TypedCount()) << "setting the text is not typing";
    SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    SendMessageA(field, WM_CHAR, 'a', 1);
    SendMessageA(field, WM_CHAR, 'b', 1);
    EXPECT_EQ(2u, TypedCount());
    char text[32];
    PlatGetItemText(main, IDC_PASSWORD, text, sizeof text);
    EXPECT_STREQ("ab", text) << "the field's own procedure must still get the characters";
    gHandlerCalls.clear();
    SendMessageA(GetDlgItem(main, IDC_LOGIN), WM_CHAR, 'x', 1);
    EXPECT_EQ(0u, TypedCount()) << "the login field is not watched";
}

TEST_F(WindowTest, ControlsTakeAndGiveTextAndChecks) {
    PlatSetItemText(main, IDC_LOGIN, "Пользователь");
    char text[64];
    PlatGetItemText(main, IDC_LOGIN, text, sizeof text);
    EXPECT_STREQ("Пользователь", text);
    char small[5];
    memset(small, '#', sizeof small);
    PlatGetItemText(main, IDC_LOGIN, small, 4);
    EXPECT_EQ(std::string("Пол"), std::string(small)) << "at most size - 1 characters";
    EXPECT_EQ('#', small[4]);
    EXPECT_FALSE(PlatIsItemChecked(main, IDC_REMEMBER));
    PlatSetItemChecked(main, IDC_REMEMBER, true);
    EXPECT_TRUE(PlatIsItemChecked(main, IDC_REMEMBER));
    PlatSetItemChecked(main, IDC_REMEMBER, false);
    EXPECT_FALSE(PlatIsItemChecked(main, IDC_REMEMBER));
}

// Counts the texts a control is given, passing each on.
WNDPROC gCountedProc = nullptr;
int gTextsGiven = 0;
LRESULT CALLBACK CountTexts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) gTextsGiven++;
    return CallWindowProcA(gCountedProc, window, message, wParam, lParam);
}

// The statistics text is set at every reply, mostly to what it shows already: that must not
// repaint it, and any change at all must reach the control.
TEST_F(WindowTest, TextIsGivenOnlyWhenItChanges) {
    HWND item = GetDlgItem(stats, IDC_STATS_TEXT);
    ASSERT_NE(nullptr, item);
    gCountedProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountTexts)));
    const std::string longText(1500, 'z');
    std::string longer = longText;
    longer.back() = 'y';
    struct Case {
        const char* what;
        std::string before, after;
        bool given;
    } cases[] = {
        {"same text", "Баланс: 150.25", "Баланс: 150.25", false},
        {"one character differs", "Баланс: 150.25", "Баланс: 150.26", true},
        {"longer", "abc", "abcd", true},
        {"shorter", "abcd", "abc", true},
        {"emptied", "abc", "", true},
        {"empty again", "", "", false},
        {"long text, last character differs", longText, longer, true},
    };
    for (const Case& c : cases) {
        PlatSetItemText(stats, IDC_STATS_TEXT, c.before.c_str());
        gTextsGiven = 0;
        PlatSetItemText(stats, IDC_STATS_TEXT, c.after.c_str());
        EXPECT_EQ(c.given ? 1 : 0, gTextsGiven) << c.what;
        std::vector<char> shown(c.after.size() + 2, '#');
        GetWindowTextA(item, shown.data(), static_cast<int>(shown.size()));
        EXPECT_EQ(c.after, std::string(shown.data())) << c.what;
    }
    SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gCountedProc));
}

// Showing a window that is shown leaves the keyboard focus where the user put it.
TEST_F(WindowTest, ShowingAShownWindowKeepsItsFocus) {
    PlatShowWindow(main, true);
    HWND password = GetDlgItem(main, IDC_PASSWORD);
    SetFocus(password);
    ASSERT_EQ(password, GetFocus());
    PlatShowWindow(main, true);
    EXPECT_EQ(password, GetFocus());
    PlatShowWindow(main, false);
    EXPECT_FALSE(IsWindowVisible(main));
    EXPECT_EQ(nullptr, GetFocus()) << "a hidden window keeps no focus";
}

TEST_F(WindowTest, NullWindowIsHarmlessEverywhere) {
    char text[8];
    memset(text, '#', sizeof text);
    PlatGetItemText(nullptr, IDC_LOGIN, text, sizeof text);
    EXPECT_STREQ("", text);
    PlatSetItemText(nullptr, IDC_LOGIN, "x");
    PlatSetItemChecked(nullptr, IDC_REMEMBER, true);
    EXPECT_FALSE(PlatIsItemChecked(nullptr, IDC_REMEMBER));
    PlatSetItemIcon(nullptr, IDC_STATS_ICON, nullptr);
    PlatShowWindow(nullptr, true);
    PlatSetTimer(nullptr, kTimerPing, 10);
    PlatKillTimer(nullptr, kTimerPing);
    PlatPostCommand(nullptr, IDC_CONNECT);
    PlatPostNull(nullptr);
    PlatDestroyWindow(nullptr);
    // A null window must not turn into a thread message or a thread timer either.
    bool strayMessage = false;
    DWORD start = GetTickCount();
    while (!strayMessage && GetTickCount() - start < 150) {
        MSG m;
        strayMessage = PeekMessageA(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE) != 0;
        if (!strayMessage) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    EXPECT_FALSE(strayMessage);
    EXPECT_EQ(Calls{}, gHandlerCalls);
}

// ---- Message loop ----

TEST_F(WindowTest, LoopDeliversPostedCommandsAndReturnsTheQuitCode) {
    PlatPostCommand(main, IDC_CONNECT);
    PlatPostQuit(7);
    EXPECT_EQ(7, PlatRunMessageLoop(stats, main));
    EXPECT_EQ(Calls{"OnCommand 108"}, gHandlerCalls);
}

// Enter becomes the default button's command only if the loop offers keys to the dialogs.
TEST_F(WindowTest, EnterInEitherWindowGivesItsDefaultButton) {
    struct Case {
        const char* what;
        HWND target;
        Calls calls;
    } cases[] = {
        {"login field", GetDlgItem(main, IDC_LOGIN), {"OnCommand 108"}},
        {"password field", GetDlgItem(main, IDC_PASSWORD), {"OnCommand 108"}},
        {"statistics window", GetDlgItem(stats, IDC_STATS_OK), {"OnStatsCommand 203"}},
    };
    for (const Case& c : cases) {
        ASSERT_NE(nullptr, c.target) << c.what;
        gHandlerCalls.clear();
        PostMessageA(c.target, WM_KEYDOWN, VK_RETURN, 1);
        PlatPostQuit(0);
        EXPECT_EQ(0, PlatRunMessageLoop(stats, main));
        EXPECT_EQ(c.calls, gHandlerCalls) << c.what;
    }
}

TEST_F(WindowTest, TimersTickIntoTheMainWindow) {
    PlatSetTimer(main, kTimerPing, 30);
    ASSERT_TRUE(PumpUntil([] { return gHandlerCalls.size() >= 2; }, 5000));
    PlatKillTimer(main, kTimerPing);
    EXPECT_EQ(Calls({"OnTimer 2", "OnTimer 2"}),
              Calls(gHandlerCalls.begin(), gHandlerCalls.begin() + 2));
    gHandlerCalls.clear();
    PlatKillTimer(main, kTimerPing);  // stopping a stopped timer is harmless
    EXPECT_FALSE(PumpUntil([] { return !gHandlerCalls.empty(); }, 200)) << "ticked after stop";
}

// ---- Tray menu ----

TEST_F(WindowTest, MenuChecksAndGraysItemsInsideItsPopup) {
    PlatMenu menu = PlatMenuLoad();
    ASSERT_NE(nullptr, menu) << "menu " << IDM_TRAY << " missing from the resources";
    HMENU m = static_cast<HMENU>(menu);
    auto state = [&](int id) { return GetMenuState(m, id, MF_BYCOMMAND); };
    EXPECT_EQ(0u, state(IDM_AUTORUN) & (MF_CHECKED | MF_GRAYED)) << "template carries no flags";
    PlatMenuCheck(menu, IDM_AUTORUN, true);
    EXPECT_EQ(UINT(MF_CHECKED), state(IDM_AUTORUN) & MF_CHECKED);
    PlatMenuCheck(menu, IDM_AUTORUN, false);
    EXPECT_EQ(0u, state(IDM_AUTORUN) & MF_CHECKED);
    PlatMenuGray(menu, IDM_CONNECT, true);
    EXPECT_EQ(UINT(MF_GRAYED | MF_DISABLED), state(IDM_CONNECT) & (MF_GRAYED | MF_DISABLED));
    EXPECT_EQ(0u, state(IDM_DISCONNECT) & MF_GRAYED) << "only the item asked for";
    PlatMenuGray(menu, IDM_CONNECT, false);
    EXPECT_EQ(0u, state(IDM_CONNECT) & (MF_GRAYED | MF_DISABLED));
    PlatMenuDestroy(menu);
}

// This process's visible popup menu, if one is up (other programs may show theirs meanwhile).
BOOL CALLBACK FindOwnPopup(HWND window, LPARAM found) {
    char name[16];
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
        GetClassNameA(window, name, sizeof name) && strcmp(name, "#32768") == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// Plays the user: waits for the popup, then chooses its first item with the keyboard.
DWORD WINAPI ChooseFirstItem(void*) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        HWND popup = nullptr;
        EnumWindows(FindOwnPopup, reinterpret_cast<LPARAM>(&popup));
        if (popup) {
            PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
            PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
            return 0;
        }
        Sleep(10);  // polling for the popup window with a deadline
    }
    return 1;
}

TEST_F(WindowTest, TrackedMenuSendsTheChosenItemToItsOwner) {
    PlatMenu menu = PlatMenuLoad();
    ASSERT_NE(nullptr, menu);
    HANDLE user = CreateThread(nullptr, 0, ChooseFirstItem, nullptr, 0, nullptr);
    PlatMenuTrack(menu, main);
    PlatMenuDestroy(menu);
    PlatPostNull(main);
    DWORD userResult = 1;
    WaitForSingleObject(user, 6000);
    GetExitCodeThread(user, &userResult);
    CloseHandle(user);
    ASSERT_EQ(0u, userResult) << "the popup never appeared";
    // Bringing the window to the foreground may focus the login field, whose focus
    // notifications also arrive as commands (ids 105, 106); only the menu's count here.
    auto menuCommands = [] {
        Calls seen;
        for (const std::string& call : gHandlerCalls)
            if (call != "OnCommand 105" && call != "OnCommand 106") seen.push_back(call);
        return seen;
    };
    EXPECT_TRUE(PumpUntil([&] { return !menuCommands().empty(); }, 3000));
    EXPECT_EQ(Calls{"OnCommand 4011"}, menuCommands());
}

TEST_F(WindowTest, IconsLoadFromTheExecutable) {
    for (int id :
         {IDI_DISCONNECTED, IDI_PROGRESS, IDI_CONNECTED, IDI_NET_ERROR, IDI_BLOCKED, IDI_LIMIT}) {
        PlatIcon icon = PlatLoadIcon(id);
        EXPECT_NE(nullptr, icon) << "icon " << id;
        PlatSetItemIcon(stats, IDC_STATS_ICON, icon);
        EXPECT_EQ(reinterpret_cast<LRESULT>(icon),
                  SendDlgItemMessageA(stats, IDC_STATS_ICON, STM_GETICON, 0, 0))
            << "icon " << id;
    }
    EXPECT_EQ(nullptr, PlatLoadIcon(303)) << "there is no icon 303";
}

}  // namespace
