// The PING reply parser and the account statistics shown from it, on any text.
// Input: the reply text (cut at its first NUL, as the engine hands it over).
#include <cstdlib>
#include <cstring>
#include <string>

#include "res/resource_ids.h"
#include "session/replies.h"
#include "tests/fuzz/fuzz_agent.h"
#include "ui/tray.h"

using fake::world;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::StartAgent(false);
    const char* text = reinterpret_cast<const char*>(data);
    size_t length = strnlen(text, size);
    // Exactly the text and its NUL, so that a read or write past the reply is an overflow.
    char* reply = static_cast<char*>(malloc(length + 1));
    memcpy(reply, text, length);
    reply[length] = '\0';
    world.texts[{fake::kStatsWindow, IDC_STATS_TEXT}] = "before";

    PingReply parsed = ParsePingReply(reply);
    Check(parsed.code == (length == 0 ? '\0' : text[0]), "the code is byte 0");
    Check(parsed.limitState >= kLimitNormal && parsed.limitState <= kLimitBlocked,
          "limitState in 0..2");
    const char* fields[] = {parsed.text, parsed.balance, parsed.cost, parsed.message};
    for (const char* field : fields) {
        bool inReply = field >= reply && field <= reply + length;
        Check(inReply || field[0] == '\0', "every field lies in the reply or is empty");
    }
    if (parsed.code != '1') {
        free(reply);
        return 0;
    }
    gAgent.limitState = parsed.limitState;
    ShowAccountStatistics(parsed.statusGiven, parsed.limitState, parsed.balance, parsed.cost,
                          parsed.message);

    Check(!world.tray.empty() && world.tray.back().hasTip, "the statistics reach the tooltip");
    fuzz::CheckTrayTips(0);
    TrayIcon expected[] = {kIconConnected, kIconLimit, kIconBlocked};
    Check(world.tray.back().icon == expected[gAgent.limitState], "the icon follows limitState");
    std::string message = fuzz::ItemText(fake::kStatsWindow, IDC_STATS_TEXT);
    if (world.visible[fake::kStatsWindow]) {
        Check(!message.empty() && message.size() <= 1023 && message[0] != ' ',
              "a shown message is the non-blank rest, at most 1023 characters");
    } else {
        Check(message == "before", "without a message the statistics text stays");
    }
    // Nothing is ever cut beyond the three tokens: without a third space there is no message.
    size_t spaces = 0;
    for (size_t i = 0; i < length; i++)
        spaces += text[i] == ' ';
    if (spaces < 3) Check(!world.visible[fake::kStatsWindow], "no message without three fields");
    free(reply);
    return 0;
}
