// The router's UCI file: UCI's quoting as OpenWrt writes it, one account over the agent section,
// and every bad line named with its file and line.
#include <gtest/gtest.h>

#include <string>

#include "settings/uci_file.h"

namespace {

struct ReadCase {
    const char* name;
    const char* text;
    const char* account;
    // Expected: the fields read, or the error.
    const char* login;
    const char* password;
    const char* device;
    const char* server;
    const char* port;
    const char* key;
    bool enabled;
    const char* error;
};

const char kMain[] = "config agent 'main'\n"
                     "\toption server '10.0.0.1'\n"
                     "\toption port '800'\n"
                     "\toption key '/etc/vornaagent/server-public.pem'\n";

const ReadCase kReads[] = {
    {"the issue's example",
     "config agent 'main'\n\toption server '10.0.0.1'\n\toption port "
     "'800'\n\toption key '/etc/vornaagent/server-public.pem'\n\nconfig account 'wan'\n\toption "
     "enabled '1'\n\toption login 'ivanov'\n\toption password 'secret'\n\toption device "
     "'eth0.2'\n",
     "wan", "ivanov", "secret", "eth0.2", "10.0.0.1", "800", "/etc/vornaagent/server-public.pem",
     true, nullptr},
    {"quoting: double quotes with escapes, bare words, '\\'' joins, comments",
     "# the router's\nconfig account wan2 # second line\n  option login \"iv\\\"an\"\n"
     "\toption password 'it'\\''s #x'\n",
     "wan2", "iv\"an", "it's #x", "", "", "", "", true, nullptr},
    {"the account's server over main's, field by field",
     "config account 'b'\n option port 801\n option key /k.pem\n", "b", "", "", "", "10.0.0.1",
     "801", "/k.pem", true, nullptr},
    {"UCI booleans", "config account 'a'\n option enabled off\n", "a", "", "", "", "", "", "",
     false, nullptr},
    {"CRLF line ends and an empty password", "config account 'a'\r\n option password ''\r\n", "a",
     "", "", "", "", "", "", true, nullptr},
    {"other sections are left alone", "config other\n option x y\n list z w\nconfig account a\n",
     "a", "", "", "", "", "", "", true, nullptr},
    {"no such account", "config account 'wan'\n", "lan", "", "", "", "", "", "", true,
     "F: no account section 'lan'"},
    {"an unclosed quote", "config account 'a\n", "a", "", "", "", "", "", "", true,
     "F:1: a quote is not closed on its line"},
    {"a line ending in a backslash", "config account a\n option login x\\\n", "a", "", "", "", "",
     "", "", true, "F:2: a backslash ends the line"},
    {"an option before any section", "option login x\n", "a", "", "", "", "", "", "", true,
     "F:1: an option before the first config line"},
    {"a word too many", "config account a\n option login x y\n", "a", "", "", "", "", "", "", true,
     "F:2: option and list take a name and one value"},
    {"an unknown keyword", "config account a\nopt login x\n", "a", "", "", "", "", "", "", true,
     "F:2: expected config, option, list or package"},
    {"an unknown option in an account", "config account a\n option pasword x\n", "a", "", "", "",
     "", "", "", true,
     "F:2: pasword: unknown option (enabled, login, password, device, server, port, key)"},
    {"an account's option in main", "config agent main\n option login x\nconfig account a\n", "a",
     "", "", "", "", "", "", true, "F:2: login: unknown option (server, port, key)"},
    {"a list where one value is meant", "config account a\n list login x\n", "a", "", "", "", "",
     "", "", true, "F:2: login: takes one value, not a list"},
    {"a bad server", "config account a\n option server 0.0.0.0\n", "a", "", "", "", "", "", "",
     true, "F:2: server: server must be A.B.C.D (not 0.0.0.0 or 255.255.255.255)"},
    {"a bad port", "config account a\n option port 65536\n", "a", "", "", "", "", "", "", true,
     "F:2: port: port must be 1 to 65535"},
    {"a relative key path", "config account a\n option key k.pem\n", "a", "", "", "", "", "", "",
     true, "F:2: key: key must be an absolute path"},
    {"a bad flag", "config account a\n option enabled 2\n", "a", "", "", "", "", "", "", true,
     "F:2: enabled: enabled must be 0 or 1"},
    {"a device name the kernel would not take",
     "config account a\n option device 'eth0.2-too-long-name'\n", "a", "", "", "", "", "", "", true,
     "F:2: device: device must be a network device's name (at most 15 characters)"},
    {"a login too long for the frame",
     "config account a\n option login "
     "'0123456789012345678901234567890123456789012345678901234567890123'\n",
     "a", "", "", "", "", "", "", true, "F:2: login: login must be at most 63 bytes"},
    {"an anonymous account", "config account\n", "a", "", "", "", "", "", "", true,
     "F:1: an account section needs a name (config account 'wan')"},
    {"the same account twice", "config account a\nconfig account a\n", "a", "", "", "", "", "", "",
     true, "F:2: a second account section 'a'"},
    {"a bad section name", "config account 'a b'\n", "a", "", "", "", "", "", "", true,
     "F:1: a section's name is letters, digits, '_', '-'"},
    {"a control character", "config account a\n option login 'x\001'\n", "a", "", "", "", "", "",
     "", true, "F:2: a control character"},
};

TEST(UciFile, AccountsReadWithUciQuotingAndBadLinesNamed) {
    for (const ReadCase& c : kReads) {
        // The override case has the example's agent section first.
        bool overMain = std::string(c.name).find("over main") != std::string::npos;
        std::string text = overMain ? kMain + std::string(c.text) : c.text;
        UciAccount account;
        std::string error;
        bool ok = ReadUciAccount("F", text, c.account, &account, &error);
        EXPECT_EQ(ok, c.error == nullptr) << c.name << ": " << error;
        if (c.error != nullptr) {
            EXPECT_EQ(error, c.error) << c.name;
            continue;
        }
        if (overMain) {
            EXPECT_EQ(account.site.keyLine, 7) << c.name;
        }
        EXPECT_EQ(account.site.address, c.server) << c.name;
        EXPECT_EQ(account.login, c.login) << c.name;
        EXPECT_EQ(account.password, c.password) << c.name;
        EXPECT_EQ(account.device, c.device) << c.name;
        EXPECT_EQ(account.site.port, c.port) << c.name;
        EXPECT_EQ(account.site.keyPath, c.key) << c.name;
        EXPECT_EQ(account.enabled, c.enabled) << c.name;
    }
}

TEST(UciFile, BoundsHoldAgainstHostileFiles) {
    struct Case {
        const char* name;
        std::string text;
        const char* error;
    };
    std::string sections, options = "config account a\n";
    for (size_t i = 0; i <= kMaxUciSections; i++)
        sections += "config s" + std::to_string(i) + "\n";
    for (size_t i = 0; i <= kMaxUciOptions; i++)
        options += " list x '" + std::to_string(i) + "'\n";
    const Case cases[] = {
        {"a line past the limit",
         "config account a\n option login '" + std::string(kMaxUciLine, 'x') + "'\n",
         "F:2: line longer than 1024 characters"},
        {"too many sections", sections, "F:65: too many sections"},
        {"too many options", options, "F:66: too many options in one section"},
        {"a NUL inside a value", std::string("config account a\n option login 'x\0y'\n", 36),
         "F:2: a control character"},
    };
    for (const Case& c : cases) {
        std::vector<UciSection> parsed;
        std::string error;
        EXPECT_FALSE(ParseUciText("F", c.text, &parsed, &error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

}  // namespace
