// The notification-area icon of the agent's main window, as the system's shell takes it, and the
// statistics window's icon that follows it.
#include <gtest/gtest.h>

#include <string>

#include "core/agent_state.h"
#include "core/text.h"
#include "platform/platform.h"
#include "res/resource_ids.h"
#include "wine_test_util.h"

namespace {

// The tray shows what the core put into the view.
void ShowInView(TrayIcon icon, const char* tip) {
    gAgent.view.icon = icon;
    CopyBounded(gAgent.view.tooltip, sizeof gAgent.view.tooltip, tip != nullptr ? tip : "");
}

struct TrayStep {
    const char* what;
    PlatTrayAction action;
    bool withIcon;
    const char* tip;  // nullptr: the update leaves the tip out
    bool accepted;
};

// The sequence the agent goes through: added once, then modified by text or icon alone,
// removed at exit; the shell refuses updates for an icon it no longer has.
TEST(TrayIcon, AddModifyDeleteAsTheShellSeesThem) {
    AgentWindows windows;
    ASSERT_TRUE(windows.ok());
    const std::string fullTip(kTipSize - 1, 'x');
    const TrayStep steps[] = {
        {"add with text only", kTrayAdd, false, "Отключен", true},
        {"modify icon only", kTrayModify, true, nullptr, true},
        {"modify text only", kTrayModify, false, "Идет подключение", true},
        {"modify with a tip of the full 63 characters", kTrayModify, true, fullTip.c_str(), true},
        {"delete", kTrayDelete, false, nullptr, true},
        {"modify after delete", kTrayModify, false, "gone", false},
        {"add again", kTrayAdd, true, "Отключен", true},
        {"delete again", kTrayDelete, false, nullptr, true},
    };
    for (const TrayStep& s : steps) {
        ShowInView(kIconDisconnected, s.tip);
        EXPECT_EQ(s.accepted, PlatTrayNotify(s.action, s.withIcon, s.tip != nullptr)) << s.what;
    }
}

TEST(TrayIcon, NoWindowIsRefusedWithoutReachingTheShell) {
    PlatDestroyWindows();
    ShowInView(kIconConnected, "tip");
    EXPECT_FALSE(PlatTrayNotify(kTrayAdd, true, true));
    EXPECT_FALSE(PlatTrayNotify(kTrayDelete, false, false));
    EXPECT_FALSE(PlatNotify("title", "text"));
}

// A balloon goes to the icon the original-layout updates made, in a call of its own, and leaves
// the icon working for those updates; without the icon the shell refuses it.
TEST(TrayIcon, BalloonOnTheIconOfTheStatusUpdates) {
    AgentWindows windows;
    ASSERT_TRUE(windows.ok());
    const std::string longText(400, 'x');
    EXPECT_FALSE(PlatNotify("Скоро лимит", "before the icon exists"));
    ShowInView(kIconConnected, "Подключен");
    ASSERT_TRUE(PlatTrayNotify(kTrayAdd, false, true));
    EXPECT_TRUE(PlatNotify("Скоро лимит", "Баланс: 7.50"));
    EXPECT_TRUE(PlatNotify(longText.c_str(), longText.c_str()))
        << "title and text are cut to their fields";
    ShowInView(kIconConnected, "Отключен");
    EXPECT_TRUE(PlatTrayNotify(kTrayModify, false, true));
    EXPECT_TRUE(PlatTrayNotify(kTrayDelete, false, false));
}

}  // namespace
