#include <gtest/gtest.h>

#include <string>

#include "session/replies.h"
#include "tests/unit/test_util.h"
#include "ui/tray.h"

using fake::world;

namespace {

class Tray : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(Tray, FirstCallAddsLaterCallsModify) {
    EXPECT_TRUE(TrayStatus(kIconNone, "Отключен"));
    TrayStatus(kIconError, nullptr);
    TrayStatus(kIconNone, "x");
    ASSERT_EQ(world.tray.size(), 3u);
    EXPECT_EQ(world.tray[0].action, kTrayAdd);
    EXPECT_TRUE(world.tray[0].hasTip);
    EXPECT_EQ(world.tray[0].icon, kIconNone);
    EXPECT_EQ(world.tray[1].action, kTrayModify);
    EXPECT_EQ(world.tray[1].icon, kIconError);
    EXPECT_FALSE(world.tray[1].hasTip) << "only the icon changes";
    EXPECT_EQ(world.tray[2].icon, kIconNone) << "only the tip changes";
    EXPECT_FALSE(gAgent.trayIconPending);
    EXPECT_EQ(fake::ItemIcon(fake::kStatsWindow, IDC_STATS_ICON), kIconError);
    EXPECT_TRUE(fake::HasDebugLine("Трей: Отключен"));
}

TEST_F(Tray, AFailedAddIsRetriedUntilTheShellTakesIt) {
    world.trayFailures = 2;
    EXPECT_FALSE(TrayStatus(kIconDisconnected, "Отключен"));
    EXPECT_TRUE(fake::TimerRunning(kTimerTrayRetry));
    TrayStatus(kIconNone, "Идет подключение");
    EXPECT_EQ(world.tray.back().action, kTrayAdd) << "never modify an icon that is not there";
    fake::Advance(2000);
    ASSERT_EQ(world.tray.size(), 3u);
    EXPECT_EQ(world.tray[2].action, kTrayAdd);
    EXPECT_EQ(world.tray[2].icon, kIconDisconnected);
    EXPECT_EQ(world.tray[2].tip, "Идет подключение");
    EXPECT_FALSE(fake::TimerRunning(kTimerTrayRetry));
    TrayStatus(kIconNone, "y");
    EXPECT_EQ(world.tray.back().action, kTrayModify);
}

TEST_F(Tray, AnAddRefusedForAnIconThatExistsFallsBackToModify) {
    // The busy shell refused the first add yet showed the icon; it refuses every add after.
    world.trayRefusesAdd = true;
    EXPECT_TRUE(TrayStatus(kIconDisconnected, "Отключен"));
    TrayStatus(kIconProgress, "Идет подключение");
    TrayStatus(kIconConnected, "Подключен");
    fake::Advance(60000);
    size_t adds = 0;
    for (const fake::TrayCall& call : world.tray)
        adds += call.action == kTrayAdd;
    EXPECT_EQ(adds, 1u);
    EXPECT_FALSE(fake::TimerRunning(kTimerTrayRetry));
    EXPECT_EQ(world.tray.back().action, kTrayModify);
    EXPECT_EQ(world.tray.back().tip, "Подключен");
    // The same when a new shell announces itself while our icon is still there.
    OnTaskbarCreated();
    EXPECT_EQ(world.tray.back().action, kTrayModify);
    EXPECT_EQ(world.tray.back().tip, "Подключен");
    EXPECT_TRUE(gAgent.trayIconAdded);
    EXPECT_FALSE(fake::TimerRunning(kTimerTrayRetry));
}

TEST_F(Tray, TaskbarCreatedAddsTheIconAgainAsItStands) {
    TrayStatus(kIconConnected, "Подключен");
    TrayStatus(kIconNone, "Баланс");
    OnTaskbarCreated();
    EXPECT_EQ(world.tray.back().action, kTrayAdd);
    EXPECT_EQ(world.tray.back().icon, kIconConnected);
    EXPECT_EQ(world.tray.back().tip, "Баланс");
}

TEST_F(Tray, TooltipIsCutAt63Characters) {
    std::string text(100, 'a');
    TrayStatus(kIconNone, text.c_str());
    EXPECT_EQ(fake::LastTip(), std::string(63, 'a'));
}

TEST_F(Tray, ConnectedIconFollowsTheLimitState) {
    for (auto [limit, icon] : {std::pair{0, kIconConnected}, {1, kIconLimit}, {2, kIconBlocked}}) {
        gAgent.limitState = limit;
        TrayStatus(kIconConnected, nullptr);
        EXPECT_EQ(fake::LastTray().icon, icon) << limit;
    }
    gAgent.limitState = 2;
    TrayStatus(kIconError, nullptr);
    EXPECT_EQ(fake::LastTray().icon, kIconError) << "other icons stay";
}

void Show(const PingReply& reply) {
    ShowAccountStatistics(reply.statusGiven, reply.limitState, reply.balance, reply.cost,
                          reply.message);
}

TEST_F(Tray, AccountStatistics) {
    struct {
        const char* name;
        std::string reply;
        int limit;
        const char* tip;      // before the 63-character cut
        const char* message;  // nullptr: the statistics window is left alone
    } cases[] = {
        {"digit 0 and a message", "1 150.25 3.10 0 Hello there", 0,
         "Подключен\nБаланс: 150.25\nЗа сессию: 3.10", "Hello there"},
        {"limit near", "1 5 1 1", 1, "Скоро лимит\nБаланс: 5\nЗа сессию: 1", nullptr},
        {"paid networks blocked", "1 5 1 2", 2, "Платные сети блокированы\nБаланс: 5\nЗа сессию: 1",
         nullptr},
        {"no status digit", "1 5 1", 0, "\nБаланс: 5\nЗа сессию: 1", nullptr},
        {"ends after the digit with spaces", "1 5 1 0   ", 0, "Подключен\nБаланс: 5\nЗа сессию: 1",
         nullptr},
        {"two spaces after the code", "1  150.25 3.10 0 msg", 0, "\nБаланс: \nЗа сессию: 150.25",
         "3.10 0 msg"},
        {"long balance shows 11 characters", "1 123456789012345 2 0", 0,
         "Подключен\nБаланс: 12345678901\nЗа сессию: 2", nullptr},
        {"ascending digits: the last wins", "1 5 1 012 m", 2,
         "Платные сети блокированы\nБаланс: 5\nЗа сессию: 1", "m"},
        {"descending digits: only the first", "1 5 1 21", 2,
         "Платные сети блокированы\nБаланс: 5\nЗа сессию: 1", "1"},
        {"code only", "1", 0, "\nБаланс: \nЗа сессию: ", nullptr},
    };
    for (auto& c : cases) {
        fake::Reset();
        world.texts[{fake::kStatsWindow, IDC_STATS_TEXT}] = "before";
        std::string reply = c.reply;
        PingReply parsed = ParsePingReply(&reply[0]);
        EXPECT_EQ(parsed.limitState, c.limit) << c.name;
        gAgent.limitState = parsed.limitState;
        Show(parsed);
        EXPECT_EQ(fake::LastTip(), std::string(c.tip).substr(0, 63)) << c.name;
        EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), c.message ? c.message : "before")
            << c.name;
        EXPECT_EQ(world.visible[fake::kStatsWindow], c.message != nullptr) << c.name;
        TrayIcon icon = c.limit == 1 ? kIconLimit : c.limit == 2 ? kIconBlocked : kIconConnected;
        EXPECT_EQ(fake::LastTray().icon, icon) << c.name;
        EXPECT_EQ(std::string(gAgent.view.balance), std::string(parsed.balance).substr(0, 11))
            << c.name << ": the balance as the server sent it";
    }
}

TEST_F(Tray, LongMessageIsCutTo1023Characters) {
    std::string reply = "1 5 1 0 " + std::string(1500, 'm');
    Show(ParsePingReply(&reply[0]));
    EXPECT_EQ(fake::Text(fake::kStatsWindow, IDC_STATS_TEXT), std::string(1023, 'm'));
}

}  // namespace
