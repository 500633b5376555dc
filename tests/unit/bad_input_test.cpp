// Bad input at the core's doors: every shape of server reply for each request in flight, odd
// configuration block fields, odd stored settings and odd command lines. Each ends in a defined
// state from which the agent can go on.
#include "crypto/field_crypto.h"
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "session/control.h"
#include "session/frames.h"
#include "settings/store.h"
#include "tests/unit/test_util.h"

using fake::world;

namespace {

const char kNoServer[] = "Невозможно соединиться с сервером";
const char kAccepted[] = "Проверка пароля прошла успешно, идет подключение";
const char kNetworkError[] = "Сетевая ошибка, причина: ";

std::string Padded(std::string text, size_t size) {
    text.resize(size, 'x');
    return text;
}

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }

// The picture the tray shows now.
TrayIcon TrayIconShown() {
    for (auto it = world.tray.rbegin(); it != world.tray.rend(); ++it)
        if (it->icon != kIconNone) return it->icon;
    return kIconNone;
}

std::vector<std::string> NetworkErrors() {
    std::vector<std::string> reasons;
    for (const std::string& line : world.debug)
        if (line.rfind(kNetworkError, 0) == 0)
            reasons.push_back(line.substr(strlen(kNetworkError)));
    return reasons;
}

enum Request { kLogon, kPing, kInfo, kLogout };
// How the reply arrives: read on FD_READ, then the close; or all of it with the close.
enum Delivery { kRead, kWithClose };

void StartRequest(Request request) {
    if (request != kLogon) LogOn("1 57");
    world.texts[{fake::kStatsWindow, IDC_STATS_TEXT}] = "old";
    switch (request) {
        case kLogon:
            world.texts[{fake::kLogonWindow, IDC_LOGIN}] = "user";
            world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = "secret";
            OnCommand(IDC_CONNECT);
            break;
        case kPing: fake::Advance(2000); break;
        case kInfo: OnCommand(IDM_INFO); break;
        case kLogout: OnCommand(IDM_DISCONNECT); break;
    }
}

// The server's side of one request: accept, take the frame, reply, close. A request still in
// flight afterwards can only end through its timer.
void Answer(const std::string& reply, Delivery delivery) {
    PlatSocket s = fake::CurrentSocket();
    fake::Event(kSocketConnected);
    fake::Event(kSocketWritable);
    if (!reply.empty()) fake::Socket(s).inbound.push_back(reply);
    if (delivery == kRead && !reply.empty()) fake::Event(kSocketReadable, kNetOk, s);
    fake::Socket(s).inbound.push_back("");
    fake::Event(kSocketClosed, kNetOk, s);
    if (gAgent.connState != kIdle) fake::Advance(kRequestTimeoutMs);
}

struct ReplyCase {
    const char* name;
    Request request;
    std::string reply;
    Delivery delivery;
    // afterwards
    bool active;
    const char* sessionId;
    std::string tip;  // the text given to the tray, before its 63-character cut
    TrayIcon icon;
    const char* reason;  // of the network error; "" for none
    std::string stats;
};

const std::string kNoFigures = "\nБаланс: \nЗа сессию: ";
const std::string kRefusedEmpty = "Подключение невозможно:\n";

const ReplyCase kReplyCases[] = {
    // LOGON
    {"LOGON empty", kLogon, "", kRead, false, "", kNoServer, kIconError, "empty reply", kNoServer},
    {"LOGON binary bytes", kLogon, "\x01\xfe\xff\x80", kRead, false, "", kNoServer, kIconError,
     "Неизвестный ответ сервера", kNoServer},
    {"LOGON space before the code", kLogon, " 1 57", kRead, false, "", kNoServer, kIconError,
     "Неизвестный ответ сервера", kNoServer},
    {"LOGON NUL right after the code", kLogon, Bytes("1\0 57", 5), kRead, false, "", kNoServer,
     kIconError, "Session id is 0", kNoServer},
    {"LOGON NUL after the session id", kLogon, Bytes("1 57\0 99", 8), kRead, true, "57", kAccepted,
     kIconProgress, "", "old"},
    {"LOGON 1 alone", kLogon, "1", kRead, false, "", kNoServer, kIconError, "Session id is 0",
     kNoServer},
    {"LOGON 1 and a space", kLogon, "1 ", kRead, false, "", kNoServer, kIconError,
     "Session id is 0", kNoServer},
    {"LOGON 3 alone", kLogon, "3", kRead, false, "", kNoServer, kIconError, "Session id is 0",
     kNoServer},
    {"LOGON tab is no separator", kLogon, "1\t57", kRead, false, "", kNoServer, kIconError,
     "Session id is 0", kNoServer},
    {"LOGON 3 57 without the interval", kLogon, "3 57", kRead, true, "57", kAccepted, kIconProgress,
     "", "old"},
    {"LOGON 3 57 and a space", kLogon, "3 57 ", kRead, true, "57", kAccepted, kIconProgress, "",
     "old"},
    {"LOGON 0 alone", kLogon, "0", kRead, false, "", kRefusedEmpty, kIconError, "", kRefusedEmpty},
    {"LOGON 2 alone", kLogon, "2", kRead, false, "", "Авторизации не выполнена:\n", kIconError, "",
     "Авторизации не выполнена:\n"},
    {"LOGON 510 bytes", kLogon, Padded("1 57 ", 510), kRead, true, "57", kAccepted, kIconProgress,
     "", "old"},
    {"LOGON 511 bytes read fill the buffer: timeout", kLogon, Padded("1 57 ", 511), kRead, false,
     "", kNoServer, kIconError, "Network timeout", kNoServer},
    {"LOGON 511 bytes with the close", kLogon, Padded("1 57 ", 511), kWithClose, true, "57",
     kAccepted, kIconProgress, "", "old"},
    {"LOGON 600 bytes read: timeout", kLogon, Padded("1 57 ", 600), kRead, false, "", kNoServer,
     kIconError, "Network timeout", kNoServer},
    {"LOGON 600 bytes with the close: the first 511 count", kLogon, Padded("0 ", 600), kWithClose,
     false, "", kRefusedEmpty + std::string(509, 'x'), kIconError, "",
     kRefusedEmpty + std::string(509, 'x')},
    // PING, the first of the session: the link is not confirmed yet
    {"PING empty: a silent retry", kPing, "", kRead, true, "57", kAccepted, kIconProgress, "",
     "old"},
    {"PING binary bytes", kPing, "\x01\xfe\xff", kRead, false, "57", kNoServer, kIconError,
     "Неизвестный ответ сервера", kNoServer},
    {"PING NUL first", kPing, std::string(1, '\0') + "1 5 1 0", kRead, false, "57", kNoServer,
     kIconError, "Неизвестный ответ сервера", kNoServer},
    {"PING 1 alone", kPing, "1", kRead, true, "57", kNoFigures, kIconConnected, "", "old"},
    {"PING 1 5", kPing, "1 5", kRead, true, "57", "\nБаланс: 5\nЗа сессию: ", kIconConnected, "",
     "old"},
    {"PING 1 5 1", kPing, "1 5 1", kRead, true, "57", "\nБаланс: 5\nЗа сессию: 1", kIconConnected,
     "", "old"},
    {"PING NUL inside the figures", kPing, Bytes("1 5\0 1 0", 8), kRead, true, "57",
     "\nБаланс: 5\nЗа сессию: ", kIconConnected, "", "old"},
    {"PING 0 alone", kPing, "0", kRead, false, "57", "", kIconError, "", ""},
    {"PING 2 alone", kPing, "2", kRead, true, "57", kAccepted, kIconProgress, "", "old"},
    {"PING 510 bytes with a message", kPing, Padded("1 5 1 0 ", 510), kRead, true, "57",
     "Подключен\nБаланс: 5\nЗа сессию: 1", kIconConnected, "", std::string(502, 'x')},
    {"PING 511 bytes read: a silent timeout", kPing, Padded("1 5 1 0 ", 511), kRead, true, "57",
     kAccepted, kIconProgress, "", "old"},
    {"PING 600 bytes read: a silent timeout", kPing, Padded("1 5 1 0 ", 600), kRead, true, "57",
     kAccepted, kIconProgress, "", "old"},
    {"PING 511 bytes with the close", kPing, Padded("1 5 1 0 ", 511), kWithClose, true, "57",
     "Подключен\nБаланс: 5\nЗа сессию: 1", kIconConnected, "", std::string(503, 'x')},
    // GETINFO
    {"GETINFO empty", kInfo, "", kRead, false, "57", kNoServer, kIconError, "empty reply",
     kNoServer},
    {"GETINFO 1 alone", kInfo, "1", kRead, true, "57", kAccepted, kIconProgress, "", ""},
    {"GETINFO 1 and a space", kInfo, "1 ", kRead, true, "57", kAccepted, kIconProgress, "", ""},
    {"GETINFO code 0 is not examined", kInfo, "0 x", kRead, true, "57", kAccepted, kIconProgress,
     "", "x"},
    {"GETINFO binary bytes", kInfo, "\x01\376AB", kRead, true, "57", kAccepted, kIconProgress, "",
     "AB"},
    {"GETINFO 510 bytes", kInfo, Padded("1 ", 510), kRead, true, "57", kAccepted, kIconProgress, "",
     std::string(508, 'x')},
    {"GETINFO 511 bytes read: the timeout ends the session", kInfo, Padded("1 ", 511), kRead, false,
     "57", kNoServer, kIconError, "Network timeout", kNoServer},
    {"GETINFO 511 bytes with the close", kInfo, Padded("1 ", 511), kWithClose, true, "57",
     kAccepted, kIconProgress, "", std::string(509, 'x')},
    // LOGOUT: any reply logs off
    {"LOGOUT empty", kLogout, "", kRead, false, "57", kNoServer, kIconError, "empty reply",
     kNoServer},
    {"LOGOUT binary bytes", kLogout, Bytes("\xff\0\x01", 3), kRead, false, "", "Отключен",
     kIconDisconnected, "", "Отключен"},
    {"LOGOUT 1 alone", kLogout, "1", kRead, false, "", "Отключен", kIconDisconnected, "",
     "Отключен"},
    {"LOGOUT refused", kLogout, "0 no such session", kRead, false, "", "Отключен",
     kIconDisconnected, "", "Отключен"},
    {"LOGOUT 511 bytes read: timeout", kLogout, Padded("1 ", 511), kRead, false, "57", kNoServer,
     kIconError, "Network timeout", kNoServer},
    {"LOGOUT 600 bytes with the close", kLogout, Padded("1 ", 600), kWithClose, false, "",
     "Отключен", kIconDisconnected, "", "Отключен"},
};

TEST(BadInput, ServerReplies) {
    for (const ReplyCase& c : kReplyCases) {
        fake::Reset();
        StartRequest(c.request);
        ASSERT_NE(gAgent.connState, kIdle) << c.name << ": no request in flight";
        PlatSocket s = fake::CurrentSocket();
        Answer(c.reply, c.delivery);
        EXPECT_EQ(gAgent.connState, kIdle) << c.name;
        EXPECT_FALSE(fake::TimerRunning(kTimerRequest)) << c.name;
        EXPECT_TRUE(world.sockets[s].closed) << c.name;
        EXPECT_EQ(gAgent.sessionActive, c.active) << c.name;
        EXPECT_STREQ(gAgent.sessionId, c.sessionId) << c.name;
        EXPECT_EQ(fake::LastTip(), c.tip.substr(0, 63)) << c.name;
        EXPECT_EQ(TrayIconShown(), c.icon) << c.name;
        std::vector<std::string> reasons;
        if (*c.reason != '\0') reasons.push_back(c.reason);
        EXPECT_EQ(NetworkErrors(), reasons) << c.name;
        // A network error's cause follows under its first line.
        std::string stats = fake::Text(fake::kStatsWindow, IDC_STATS_TEXT);
        if (c.stats == kNoServer) stats = stats.substr(0, stats.find('\n'));
        EXPECT_EQ(stats, c.stats) << c.name;
        // And the agent goes on: the next request starts.
        if (gAgent.sessionActive) {
            SendPing();
            EXPECT_EQ(gAgent.connState, kPingConnecting) << c.name;
        } else {
            OnCommand(IDC_CONNECT);
            EXPECT_EQ(gAgent.connState, kLogonConnecting) << c.name;
        }
    }
}

// ---- the configuration block ----

// What the block's address and port fields give a connect, both for an ordinary request and
// for the blocking logoff at the end of the Windows session.
TEST(BadInput, BlockAddressAndPortAreReadBounded) {
    struct {
        const char* name;
        std::string address;  // the whole field when it has 31 bytes: no NUL
        std::string port;
        std::string connectAddress;
        int connectPort;
    } cases[] = {
        {"address field full, no NUL", std::string(31, '7'), "800", std::string(30, '7'), 800},
        {"port field full of digits, no NUL", "10.0.0.1", std::string(18, '0') + "800", "10.0.0.1",
         800},
        {"port abc", "10.0.0.1", "abc", "10.0.0.1", 0},
        {"port empty", "10.0.0.1", "", "10.0.0.1", 0},
        {"port of binary bytes", "10.0.0.1", "\xe0\xe1\xe2", "10.0.0.1", 0},
        {"address of binary bytes", "\x80\xff\x01", "800", "\x80\xff\x01", 800},
    };
    const ConfigBlock saved = gConfig;
    for (auto& c : cases) {
        fake::Reset();
        memset(gConfig.serverAddress, 0, kAddressSize);
        memcpy(gConfig.serverAddress, c.address.data(), c.address.size());
        memset(gConfig.serverPort, 0, kPortSize);
        memcpy(gConfig.serverPort, c.port.data(), c.port.size());
        LogOn("1 57");
        EXPECT_EQ(fake::Socket().connectAddress, c.connectAddress) << c.name;
        EXPECT_EQ(fake::Socket().connectPort, c.connectPort) << c.name;
        LogoutAtSessionEnd();
        EXPECT_TRUE(fake::Socket().blocking) << c.name;
        EXPECT_EQ(fake::Socket().connectAddress, c.connectAddress) << c.name << " at session end";
        EXPECT_EQ(fake::Socket().connectPort, c.connectPort) << c.name << " at session end";
        gConfig = saved;
    }
}

// The key field may be filled to its last byte; nothing past it is read.
TEST(BadInput, KeyFieldFilledToTheLastByte) {
    const std::string good = gConfig.serverKeyPem;
    std::string binary;
    for (int i = 0; binary.size() < kKeySize; i++)
        binary += static_cast<char>(1 + i % 255);
    struct {
        const char* name;
        std::string content;  // padded or cut to exactly kKeySize bytes
        bool loads;
    } cases[] = {
        {"a good key, then line ends", good + std::string(kKeySize, '\n'), true},
        {"a good key, then binary bytes", good + "\n" + binary, true},
        {"binary bytes", binary, false},
        {"base64 characters only", std::string(kKeySize, 'A'), false},
    };
    for (auto& c : cases) {
        fake::Reset();
        // A heap buffer of exactly the field's size: a read past it is caught by the sanitizers.
        std::vector<char> field(c.content.begin(), c.content.begin() + kKeySize);
        FieldKey* kept = gAgent.serverKey;
        gAgent.serverKey = nullptr;
        gAgent.blockSize = 0;
        EXPECT_EQ(LoadServerKey(field.data()), c.loads) << c.name;
        EXPECT_EQ(gAgent.blockSize, c.loads ? 128 : 0) << c.name;
        if (gAgent.serverKey != nullptr) FreeFieldKey(gAgent.serverKey);
        gAgent.serverKey = kept;
    }
}

// ---- stored settings ----

fake::RegValue Value(PlatValueType type, const std::string& data) { return {type, data}; }

std::string Dword(uint32_t v) { return std::string(reinterpret_cast<char*>(&v), 4); }

TEST(BadInput, OddStoredValues) {
    const std::string block(128, 'B');
    struct {
        const char* name;
        std::map<std::string, fake::RegValue> stored;
        bool useSaved;
        const char* login;  // the login field afterwards
    } cases[] = {
        {"savedata as an 8-byte value",
         {{"savedata", Value(kValueOther, std::string(8, '\1'))},
          {"pass", Value(kValueBinary, block)}},
         false,
         ""},
        {"savedata of 2 counts",
         {{"savedata", Value(kValueDword, Dword(2))}, {"pass", Value(kValueBinary, block)}},
         true,
         ""},
        {"pass of 0 bytes",
         {{"savedata", Value(kValueDword, Dword(1))},
          {"login", Value(kValueString, "ivan")},
          {"pass", Value(kValueBinary, "")}},
         false,
         "ivan"},
        {"pass of 4096 bytes",
         {{"savedata", Value(kValueDword, Dword(1))},
          {"login", Value(kValueString, "ivan")},
          {"pass", Value(kValueBinary, std::string(4096, 'B'))}},
         false,
         "ivan"},
        {"pass without savedata", {{"pass", Value(kValueBinary, block)}}, false, ""},
        {"login with a NUL inside",
         {{"savedata", Value(kValueDword, Dword(1))},
          {"login", Value(kValueString, Bytes("iv\0an", 5))},
          {"pass", Value(kValueBinary, block)}},
         true,
         "iv"},
        {"empty login",
         {{"savedata", Value(kValueDword, Dword(1))},
          {"login", Value(kValueString, "")},
          {"pass", Value(kValueBinary, block)}},
         true,
         ""},
    };
    for (auto& c : cases) {
        fake::Reset();
        world.registry["Software\\Vorna\\AuthUtility"] = c.stored;
        LoadSettings();
        EXPECT_EQ(gAgent.useSavedPassword, c.useSaved) << c.name;
        EXPECT_EQ(fake::Checked(fake::kLogonWindow, IDC_REMEMBER), c.useSaved) << c.name;
        EXPECT_EQ(fake::Text(fake::kLogonWindow, IDC_LOGIN), c.login) << c.name;
        EXPECT_EQ(fake::Text(fake::kLogonWindow, IDC_PASSWORD), c.useSaved ? "password" : "")
            << c.name;
        const auto& after = world.registry["Software\\Vorna\\AuthUtility"];
        EXPECT_EQ(after.size(), c.stored.size()) << c.name << ": loading writes nothing";
        for (auto& [name, value] : c.stored) {
            ASSERT_EQ(after.count(name), 1u) << c.name << ": " << name;
            EXPECT_EQ(after.at(name).data, value.data) << c.name << ": " << name;
            EXPECT_EQ(after.at(name).type, value.type) << c.name << ": " << name;
        }
    }
}

// ---- command lines ----

TEST(BadInput, OddQuotingSplitsWithinTheLinesOwnLength) {
    struct {
        const char* name;
        std::string line;
        std::vector<std::string> args;
    } cases[] = {
        {"empty quotes alone", "\"\"", {""}},
        {"three quotes", "\"\"\"", {""}},
        {"quotes inside a word", "a\"b\"c", {"abc"}},
        {"quoted runs joined", "\"a b\"c\" d\"", {"a bc d"}},
        {"a lone quote at the end", "a \"", {"a", ""}},
        {"tabs only around", "\t\ta\t", {"a"}},
        {"a quoted tab", "\"\t\"", {"\t"}},
        {"backslashes are plain characters", "\\\"a b\\\"", {"\\a b\\"}},
        {"empty arguments in a row", "\"\" \"\" \"\"", {"", "", ""}},
        {"one-letter arguments", "a b c d e f", {"a", "b", "c", "d", "e", "f"}},
        {"non-ASCII bytes", "\xcf\xf0\xe8 \xff\x80", {"\xcf\xf0\xe8", "\xff\x80"}},
    };
    for (auto& c : cases) {
        // The entry point sizes the split by the line: its length plus two bytes, and room for
        // half as many arguments plus two. The split needs one less of each.
        size_t length = c.line.size();
        std::vector<char> storage(length + 1);
        std::vector<char*> argv(length / 2 + 2);
        int argc = SplitCommandLine(c.line.c_str(), storage.data(), storage.size(), argv.data(),
                                    static_cast<int>(argv.size()) - 1);
        ASSERT_EQ(argc, static_cast<int>(c.args.size())) << c.name;
        for (int i = 0; i < argc; i++)
            EXPECT_EQ(argv[i], c.args[i]) << c.name << " " << i;
        EXPECT_EQ(argv[argc], nullptr) << c.name;
    }
}

}  // namespace
