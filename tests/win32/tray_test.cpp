// The notification-area icon with a real window and the system's shell.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "wine_test_util.h"

namespace {

struct TrayStep {
    const char* what;
    PlatTrayAction action;
    bool withIcon;
    const char* tip;
    bool accepted;
};

// The sequence the agent goes through: added once, then modified by text or icon alone,
// removed at exit; the shell refuses updates for an icon it no longer has.
TEST(TrayIcon, AddModifyDeleteAsTheShellSeesThem) {
    RecordingWindow window;
    ASSERT_TRUE(window.handle());
    PlatIcon icon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
    ASSERT_NE(nullptr, icon);
    const std::string longTip(200, 'x');
    const TrayStep steps[] = {
        {"add with text only", kTrayAdd, false, "Отключен", true},
        {"modify icon only", kTrayModify, true, nullptr, true},
        {"modify text only", kTrayModify, false, "Идет подключение", true},
        {"modify with a tip past 63 characters", kTrayModify, true, longTip.c_str(), true},
        {"delete", kTrayDelete, false, nullptr, true},
        {"modify after delete", kTrayModify, false, "gone", false},
        {"add again", kTrayAdd, true, "Отключен", true},
        {"delete again", kTrayDelete, false, nullptr, true},
    };
    for (const TrayStep& s : steps) {
        EXPECT_EQ(s.accepted,
                  PlatTrayNotify(s.action, window.handle(), s.withIcon ? icon : nullptr, s.tip))
            << s.what;
    }
}

TEST(TrayIcon, NoWindowIsRefusedWithoutReachingTheShell) {
    EXPECT_FALSE(PlatTrayNotify(kTrayAdd, nullptr, nullptr, "tip"));
    EXPECT_FALSE(PlatTrayNotify(kTrayDelete, nullptr, nullptr, nullptr));
    EXPECT_FALSE(PlatTrayBalloon(nullptr, "title", "text"));
}

// A balloon goes to the icon the 88-byte updates made, in a call of its own, and leaves the
// icon working for those updates; without the icon the shell refuses it.
TEST(TrayIcon, BalloonOnTheIconOfTheStatusUpdates) {
    RecordingWindow window;
    ASSERT_TRUE(window.handle());
    const std::string longText(400, 'x');
    EXPECT_FALSE(PlatTrayBalloon(window.handle(), "Скоро лимит", "before the icon exists"));
    ASSERT_TRUE(PlatTrayNotify(kTrayAdd, window.handle(), nullptr, "Подключен"));
    EXPECT_TRUE(PlatTrayBalloon(window.handle(), "Скоро лимит", "Баланс: 7.50"));
    EXPECT_TRUE(PlatTrayBalloon(window.handle(), longText.c_str(), longText.c_str()))
        << "title and text are cut to their fields";
    EXPECT_TRUE(PlatTrayNotify(kTrayModify, window.handle(), nullptr, "Отключен"));
    EXPECT_TRUE(PlatTrayNotify(kTrayDelete, window.handle(), nullptr, nullptr));
}

}  // namespace
