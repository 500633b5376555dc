// The window procedures, the message loop and the tray menu with the real dialog manager:
// each message must become exactly the one handler call the core expects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/agent_state.h"
#include "core/text.h"
#include "core/timings.h"
#include "platform/events.h"
#include "platform/win32/messages.h"
#include "platform/win32/world_win.h"
#include "recording_handlers.h"
#include "res/resource_ids.h"
#include "ui/texts.h"
#include "wine_test_util.h"

namespace {

using Calls = std::vector<std::string>;

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetAgentState();
        ASSERT_TRUE(PlatCreateWindow(kWindowLogon))
            << "dialog " << IDD_LOGON << " missing from the resources";
        ASSERT_TRUE(PlatCreateWindow(kWindowStats))
            << "dialog " << IDD_STATS << " missing from the resources";
        main = MainWindowHandle();
        stats = StatsWindowHandle();
        ASSERT_NE(nullptr, main);
        ASSERT_NE(nullptr, stats);
        gHandlerCalls.clear();
    }
    void TearDown() override { PlatDestroyWindows(); }
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
        {"close box", WM_CLOSE, 0, 0, {"OnWindowClose logon"}},
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
         {"OnSocketEvent 1234 connected refused"}},
        {"socket writable",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_WRITE, 0),
         {"OnSocketEvent 77 writable ok"}},
        {"socket read",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_READ, 0),
         {"OnSocketEvent 77 readable ok"}},
        {"socket reset",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_CLOSE, 10054),
         {"OnSocketEvent 77 closed reset"}},
        {"socket aborted, as Wine reports a reset",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_CLOSE, 10053),
         {"OnSocketEvent 77 closed reset"}},
        {"host unreachable",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_CONNECT, 10065),
         {"OnSocketEvent 77 connected host-unreachable"}},
        {"network unreachable",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_CONNECT, 10051),
         {"OnSocketEvent 77 connected unreachable"}},
        {"connect timed out",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_CONNECT, 10060),
         {"OnSocketEvent 77 connected timed-out"}},
        {"an error of no class",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_CONNECT, 10022),
         {"OnSocketEvent 77 connected other"}},
        {"socket, an event never asked for",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_OOB, 0),
         {"OnSocketEvent 77 unknown ok"}},
        {"socket, two events at once",
         kMsgSocketNotify,
         77,
         WSAMAKESELECTREPLY(FD_READ | FD_CLOSE, 0),
         {"OnSocketEvent 77 unknown ok"}},
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
        {"close box", WM_CLOSE, 0, 0, {"OnWindowClose stats"}},
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
    char login[8], text[32];
    bool remember = true;
    ASSERT_TRUE(PlatReadLogonForm(login, sizeof login, text, sizeof text, &remember));
    EXPECT_STREQ("ab", text) << "the field's own procedure must still get the characters";
    gHandlerCalls.clear();
    SendMessageA(GetDlgItem(main, IDC_LOGIN), WM_CHAR, 'x', 1);
    EXPECT_EQ(0u, TypedCount()) << "the login field is not watched";
}

// The form as the core holds it, shown, then read back as the user left it.
TEST_F(WindowTest, LogonFormIsShownAndReadBack) {
    LogonForm& form = gAgent.view.form;
    CopyBounded(form.login, sizeof form.login, "Пользователь");
    form.passwordRemembered = true;
    form.remember = true;
    form.rememberAllowed = true;
    PlatShowLogonForm();
    char login[64], password[16];
    bool remember = false;
    ASSERT_TRUE(PlatReadLogonForm(login, sizeof login, password, sizeof password, &remember));
    EXPECT_STREQ("Пользователь", login);
    EXPECT_STREQ("password", password) << "the stand-in for the remembered block";
    EXPECT_TRUE(remember);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_REMEMBER)));
    char small[5];
    memset(small, '#', sizeof small);
    ASSERT_TRUE(PlatReadLogonForm(small, 4, nullptr, 0, &remember));
    EXPECT_EQ(std::string("Пол"), std::string(small)) << "at most size - 1 characters";
    EXPECT_EQ('#', small[4]);
    // The machine's policy: nothing remembered, and the box greyed.
    form.login[0] = '\0';
    form.passwordRemembered = false;
    form.remember = false;
    form.rememberAllowed = false;
    PlatShowLogonForm();
    ASSERT_TRUE(PlatReadLogonForm(login, sizeof login, password, sizeof password, &remember));
    EXPECT_STREQ("", login);
    EXPECT_STREQ("", password);
    EXPECT_FALSE(remember);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_REMEMBER)));
}

// Counts the texts a control is given, passing each on.
WNDPROC gCountedProc = nullptr;
int gTextsGiven = 0;
LRESULT CALLBACK CountTexts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) gTextsGiven++;
    return CallWindowProcA(gCountedProc, window, message, wParam, lParam);
}

void ShowStatistics(const std::string& text) {
    CopyBounded(gAgent.view.statistics, sizeof gAgent.view.statistics, text.c_str());
    PlatShowStatistics();
}

// The statistics text is set at every reply, mostly to what it shows already: that must not
// repaint it, and any change at all must reach the control.
TEST_F(WindowTest, TextIsGivenOnlyWhenItChanges) {
    HWND item = GetDlgItem(stats, IDC_STATS_TEXT);
    ASSERT_NE(nullptr, item);
    gCountedProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountTexts)));
    const std::string longText(kStatsTextSize - 1, 'z');
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
        ShowStatistics(c.before);
        gTextsGiven = 0;
        ShowStatistics(c.after);
        EXPECT_EQ(c.given ? 1 : 0, gTextsGiven) << c.what;
        std::vector<char> shown(c.after.size() + 2, '#');
        GetWindowTextA(item, shown.data(), static_cast<int>(shown.size()));
        EXPECT_EQ(c.after, std::string(shown.data())) << c.what;
    }
    SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gCountedProc));
}

// The start-up shows the form it loaded: fields that already show it are given no text, so a
// start changes no more than it must.
TEST_F(WindowTest, LogonFormChangesOnlyWhatDiffers) {
    struct Case {
        const char* what;
        int id;
        const char* login;
        bool passwordRemembered;
        int given;
    } cases[] = {
        {"empty login shown again", IDC_LOGIN, "", false, 0},
        {"a login restored", IDC_LOGIN, "ivanov", false, 1},
        {"the same login again", IDC_LOGIN, "ivanov", false, 0},
        {"no password, field empty", IDC_PASSWORD, "", false, 0},
        {"remembered password", IDC_PASSWORD, "", true, 1},
        {"remembered again", IDC_PASSWORD, "", true, 0},
        {"forgotten", IDC_PASSWORD, "", false, 1},
    };
    for (const Case& c : cases) {
        HWND item = GetDlgItem(main, c.id);
        ASSERT_NE(nullptr, item) << c.what;
        gCountedProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountTexts)));
        LogonForm& form = gAgent.view.form;
        CopyBounded(form.login, sizeof form.login, c.login);
        form.passwordRemembered = c.passwordRemembered;
        form.rememberAllowed = true;
        gTextsGiven = 0;
        PlatShowLogonForm();
        SetWindowLongPtrA(item, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gCountedProc));
        EXPECT_EQ(c.given, gTextsGiven) << c.what;
    }
}

// Showing a window that is shown leaves the keyboard focus where the user put it.
TEST_F(WindowTest, ShowingAShownWindowKeepsItsFocus) {
    PlatShowWindow(kWindowLogon, true);
    HWND password = GetDlgItem(main, IDC_PASSWORD);
    SetFocus(password);
    ASSERT_EQ(password, GetFocus());
    PlatShowWindow(kWindowLogon, true);
    EXPECT_EQ(password, GetFocus());
    PlatShowWindow(kWindowLogon, false);
    EXPECT_FALSE(IsWindowVisible(main));
    EXPECT_EQ(nullptr, GetFocus()) << "a hidden window keeps no focus";
}

// Before the windows exist and after they are gone, nothing reaches a window or the thread.
TEST_F(WindowTest, NoWindowIsHarmlessEverywhere) {
    PlatDestroyWindows();
    char text[8];
    bool remember = true;
    EXPECT_FALSE(PlatReadLogonForm(text, sizeof text, nullptr, 0, &remember));
    PlatShowLogonForm();
    PlatShowStatistics();
    gAgent.view.icon = kIconConnected;
    EXPECT_FALSE(PlatTrayNotify(kTrayAdd, true, true));
    EXPECT_FALSE(PlatNotify("title", "text"));
    PlatShowWindow(kWindowLogon, true);
    PlatShowWindow(kWindowStats, true);
    PlatSetTimer(kTimerPing, 10);
    PlatKillTimer(kTimerPing);
    PlatPostCommand(IDC_CONNECT);
    EXPECT_TRUE(PlatMenuLoad());
    PlatMenuShow();
    PlatDestroyWindows();
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
    PlatPostCommand(IDC_CONNECT);
    PlatPostQuit(7);
    EXPECT_EQ(7, PlatRunLoop());
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
        EXPECT_EQ(0, PlatRunLoop());
        EXPECT_EQ(c.calls, gHandlerCalls) << c.what;
    }
}

TEST_F(WindowTest, TimersTickIntoTheMainWindow) {
    PlatSetTimer(kTimerPing, 30);
    ASSERT_TRUE(PumpUntil([] { return gHandlerCalls.size() >= 2; }, 5000));
    PlatKillTimer(kTimerPing);
    EXPECT_EQ(Calls({"OnTimer 2", "OnTimer 2"}),
              Calls(gHandlerCalls.begin(), gHandlerCalls.begin() + 2));
    gHandlerCalls.clear();
    PlatKillTimer(kTimerPing);  // stopping a stopped timer is harmless
    EXPECT_FALSE(PumpUntil([] { return !gHandlerCalls.empty(); }, 200)) << "ticked after stop";
}

// ---- Tray menu ----

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

// Plays the user on another thread: waits for the popup, notes the menu it shows, then either
// chooses the first item with the keyboard or closes it with Escape.
struct MenuUser {
    bool chooseFirst = false;
    HMENU shown = nullptr;
    UINT autorun = 0, connect = 0, disconnect = 0;  // GetMenuState of the items as shown
};

DWORD WINAPI PlayMenuUser(void* parameter) {
    auto* user = static_cast<MenuUser*>(parameter);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        HWND popup = nullptr;
        EnumWindows(FindOwnPopup, reinterpret_cast<LPARAM>(&popup));
        if (popup) {
            user->shown = reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0));
            user->autorun = GetMenuState(user->shown, IDM_AUTORUN, MF_BYCOMMAND);
            user->connect = GetMenuState(user->shown, IDM_CONNECT, MF_BYCOMMAND);
            user->disconnect = GetMenuState(user->shown, IDM_DISCONNECT, MF_BYCOMMAND);
            if (user->chooseFirst) {
                PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
                PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
            } else {
                PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
            }
            return 0;
        }
        Sleep(10);  // polling for the popup window with a deadline
    }
    return 1;
}

// Shows the loaded menu with `user` at the keyboard; false if the popup never appeared.
bool ShowMenuTo(MenuUser* user) {
    HANDLE thread = CreateThread(nullptr, 0, PlayMenuUser, user, 0, nullptr);
    PlatMenuShow();
    DWORD result = 1;
    WaitForSingleObject(thread, 6000);
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result == 0;
}

TEST_F(WindowTest, MenuChecksAndGraysItemsInsideItsPopup) {
    struct Case {
        const char* what;
        void (*prepare)();
        UINT autorun, connect, disconnect;  // the flags expected, of MF_CHECKED | MF_GRAYED
    } cases[] = {
        {"template carries no flags", [] {}, 0, 0, 0},
        {"start at logon checked", [] { PlatMenuCheck(IDM_AUTORUN, true); }, MF_CHECKED, 0, 0},
        {"checked, then not",
         [] {
             PlatMenuCheck(IDM_AUTORUN, true);
             PlatMenuCheck(IDM_AUTORUN, false);
         },
         0, 0, 0},
        {"connect greyed, only it", [] { PlatMenuGray(IDM_CONNECT, true); }, 0,
         MF_GRAYED | MF_DISABLED, 0},
        {"greyed, then not",
         [] {
             PlatMenuGray(IDM_CONNECT, true);
             PlatMenuGray(IDM_CONNECT, false);
         },
         0, 0, 0},
    };
    const UINT flags = MF_CHECKED | MF_GRAYED | MF_DISABLED;
    for (const Case& c : cases) {
        ASSERT_TRUE(PlatMenuLoad()) << "menu " << IDM_TRAY << " missing from the resources";
        c.prepare();
        MenuUser user;
        ASSERT_TRUE(ShowMenuTo(&user)) << c.what << ": the popup never appeared";
        EXPECT_EQ(c.autorun, user.autorun & flags) << c.what;
        EXPECT_EQ(c.connect, user.connect & flags) << c.what;
        EXPECT_EQ(c.disconnect, user.disconnect & flags) << c.what;
        EXPECT_FALSE(IsMenu(user.shown)) << c.what << ": the menu is destroyed after it";
    }
}

TEST_F(WindowTest, TrackedMenuSendsTheChosenItemToItsOwner) {
    ASSERT_TRUE(PlatMenuLoad());
    MenuUser user;
    user.chooseFirst = true;
    ASSERT_TRUE(ShowMenuTo(&user)) << "the popup never appeared";
    MSG null;
    EXPECT_TRUE(PeekMessageA(&null, main, WM_NULL, WM_NULL, PM_NOREMOVE))
        << "the empty message that lets the menu close is posted to the owner";
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

// Each state of the account shows its own picture from the executable in the statistics
// window, set with the tray update that carries the picture; one without it leaves it.
TEST_F(WindowTest, IconsLoadFromTheExecutable) {
    const struct {
        TrayIcon state;
        int id;
    } icons[] = {
        {kIconDisconnected, IDI_DISCONNECTED}, {kIconProgress, IDI_PROGRESS},
        {kIconConnected, IDI_CONNECTED},       {kIconError, IDI_NET_ERROR},
        {kIconBlocked, IDI_BLOCKED},           {kIconLimit, IDI_LIMIT},
    };
    auto shown = [&] { return SendDlgItemMessageA(stats, IDC_STATS_ICON, STM_GETICON, 0, 0); };
    for (const auto& icon : icons) {
        HICON expected = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon.id));
        ASSERT_NE(nullptr, expected) << "icon " << icon.id;
        gAgent.view.icon = icon.state;
        PlatTrayNotify(kTrayModify, true, false);  // the shell may refuse: no icon was added
        EXPECT_EQ(reinterpret_cast<LRESULT>(expected), shown()) << "icon " << icon.id;
        gAgent.view.icon = kIconDisconnected;
        PlatTrayNotify(kTrayModify, false, true);
        EXPECT_EQ(reinterpret_cast<LRESULT>(expected), shown())
            << "icon " << icon.id << ": an update of the tip alone";
    }
}

}  // namespace
