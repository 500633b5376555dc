#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/cp1251.h"
#include "tools/access_server/options.h"

namespace {

std::string W(const std::string& utf8) {
    std::string bytes, error;
    EXPECT_TRUE(Utf8ToCp1251(utf8, &bytes, &error)) << error;
    return bytes;
}

bool Parse(std::vector<const char*> words, ServerOptions* options, std::string* error) {
    words.insert(words.begin(), "vorna_access_server");
    return ParseCommandLine(static_cast<int>(words.size()), words.data(), options, error);
}

struct GoodCase {
    const char* name;
    std::vector<const char*> words;
    std::function<bool(const ServerOptions&)> check;
};

TEST(Options, CommandLinesSetWhatTheySay) {
    const GoodCase cases[] = {
        {"network",
         {"--bind", "127.0.0.2", "--port=8800", "--port-file", "p", "--log", "-"},
         [](const ServerOptions& o) {
             return o.bindAddress == "127.0.0.2" && o.port == 8800 && o.portFile == "p" &&
                    o.logFile == "-";
         }},
        {"cyrillic account",
         {"--account", "иванов:пароль:с:двоеточиями"},
         [](const ServerOptions& o) {
             return o.state.accounts.at(W("иванов")).password == W("пароль:с:двоеточиями");
         }},
        {"fixed reply with escapes",
         {"--reply", "GETINFO=1 a\\nb=c"},
         [](const ServerOptions& o) { return o.state.fixedReplies.at("GETINFO") == "1 a\nb=c"; }},
        {"figures",
         {"--balance", "9.99", "--cost", "0.01", "--status-digit", "2", "--message", "Лимит"},
         [](const ServerOptions& o) {
             return o.state.figures.balance == "9.99" && o.state.figures.cost == "0.01" &&
                    o.state.figures.digit == "2" && o.state.figures.message == W("Лимит");
         }},
        {"session behaviour",
         {"--ping-seconds", "10", "--pending-pings", "3", "--end-session-after", "2.5",
          "--first-session-id", "57", "--refuse-logon", "Нет"},
         [](const ServerOptions& o) {
             return o.state.pingSeconds == 10 && o.state.pendingPings == 3 &&
                    o.state.endSessionAfter == 2.5 && o.state.nextSessionId == 57 &&
                    *o.state.refuseLogon == W("Нет");
         }},
        {"counted fault",
         {"--fault", "reset:PING", "--fault-count", "2"},
         [](const ServerOptions& o) {
             return o.state.faults.fault.mode == kFaultReset && o.state.faults.remaining == 2;
         }},
    };
    for (const GoodCase& c : cases) {
        ServerOptions options;
        std::string error;
        ASSERT_TRUE(Parse(c.words, &options, &error)) << c.name << ": " << error;
        EXPECT_TRUE(c.check(options)) << c.name;
    }
}

struct BadCase {
    const char* name;
    std::vector<const char*> words;
    const char* errorPart;
};

TEST(Options, BadCommandLinesAreRefusedWithTheReason) {
    const BadCase cases[] = {
        {"positional word", {"serve"}, "unexpected argument"},
        {"unknown option", {"--verbose"}, "unknown option --verbose"},
        {"missing value", {"--port"}, "--port needs N"},
        {"port too big", {"--port", "65536"}, "port: \"65536\" is not a whole number"},
        {"negative timeout", {"--read-timeout", "-1"}, "read-timeout"},
        {"host name as bind address", {"--bind", "localhost"}, "not a dotted IPv4"},
        {"odd key size", {"--generate-key", "1000"}, "1024, 2048, 3072 or 4096"},
        {"reply without equals", {"--reply", "PING"}, "VERB=TEXT"},
        {"reply to an unknown verb", {"--reply", "HELLO=1"}, "not a verb"},
        {"account without password", {"--account", "petrov"}, "LOGIN:PASSWORD"},
        {"account without login", {"--account", ":x"}, "LOGIN:PASSWORD"},
        {"digit out of range", {"--status-digit", "3"}, "0, 1 or 2"},
        {"text CP1251 lacks", {"--message", "\xC3\xA4"}, "no CP1251 form"},
        {"bad fault", {"--fault", "slow"}, "needs a number"},
        {"zero fault count", {"--fault-count", "0"}, "fault-count"},
        {"seconds not a number", {"--end-session-after", "soon"}, "not a number of seconds"},
        {"switch with a value", {"--allow-remote=no"}, "is a switch"},
        {"missing scenario", {"--scenario", "/nonexistent/scenario"}, "cannot open"},
    };
    for (const BadCase& c : cases) {
        ServerOptions options;
        std::string error;
        EXPECT_FALSE(Parse(c.words, &options, &error)) << c.name;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
    }
}

// What reaches the wire is checked by the process tests; here, the file's own syntax.
TEST(Options, ScenarioLinesAreTrimmedQuotedAndCommented) {
    const std::string text = "# comment = ignored\n"
                             "  account.петров.password = qwerty  \r\n"
                             "\n"
                             "account.петров.message = \"  Пополните счёт  \"\n"
                             "allow-remote = yes\n";
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(ApplyScenario(text, &options, &error)) << error;
    const Account& petrov = options.state.accounts.at(W("петров"));
    EXPECT_EQ(petrov.password, "qwerty");
    EXPECT_EQ(*petrov.figures.message, W("  Пополните счёт  "));
    EXPECT_TRUE(options.allowRemote);
    EXPECT_EQ(options.state.accounts.size(), 1u);
}

TEST(Options, ScenarioErrorsNameTheLine) {
    const struct {
        const char* text;
        const char* errorPart;
    } cases[] = {
        {"port = 1\nport 2\n", "line 2: expected name = value"},
        {"\n\nbogus = 1\n", "line 3: unknown setting \"bogus\""},
        {"scenario = other.txt\n", "line 1: scenario cannot be set"},
        {"account.x = 1\n", "line 1: expected account.LOGIN.FIELD"},
        {"account.petrov.credit = 1\n", "line 1: unknown figure"},
        {"reply.HELLO = 1\n", "line 1: \"HELLO\" is not a verb"},
        {"# ok\nstatus-digit = 5\n", "line 2: status-digit: the status digit"},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        std::string error;
        EXPECT_FALSE(ApplyScenario(c.text, &options, &error)) << c.text;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.text << " -> " << error;
    }
}

TEST(Options, TheManualDescribesEveryOption) {
    const std::string help = ServerHelpText();
    for (const OptionInfo& option : ServerOptionList()) {
        EXPECT_NE(help.find(std::string("--") + option.name), std::string::npos) << option.name;
    }
}

}  // namespace
