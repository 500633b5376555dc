#include "crypto/field_crypto.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "session/frames.h"
#include "tests/unit/test_util.h"

namespace {

std::string Frame() { return std::string(reinterpret_cast<char*>(gAgent.ioBuffer), 512); }

std::string Block(const std::string& frame, int i) { return frame.substr(i * 128, 128); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Frames : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
};

struct RequestCase {
    const char* verb;
    const char* f2;
    const char* f3;
    const char* f4;
};

TEST_F(Frames, EveryRequestDecryptsToItsFourFields) {
    const RequestCase cases[] = {
        {"LOGON", "user", "secret", "253702"},
        {"PING", "user", "57", "1"},
        {"GETINFO", "user", "57", "VOID4"},
        {"LOGOUT", "\xC8\xE2\xE0\xED", "57", "VOID4"},  // a Cyrillic login travels as CP1251
        {"LOGON", "user", "", "253702"},                // an empty password is a 0-length field
    };
    for (const RequestCase& c : cases) {
        ComposeRequest(c.verb, c.f2, c.f3, c.f4);
        std::string frame = Frame();
        const char* expected[] = {c.verb, c.f2, c.f3, c.f4};
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(fake::DecryptBlock(frame, i), expected[i]) << c.verb << " block " << i;
    }
}

TEST_F(Frames, SameRequestTwiceDiffersInEveryBlock) {
    ComposeRequest("PING", "user", "57", "1");
    std::string first = Frame();
    ComposeRequest("PING", "user", "57", "1");
    std::string second = Frame();
    for (int i = 0; i < 4; i++)
        EXPECT_NE(Block(first, i), Block(second, i)) << "block " << i;
}

TEST_F(Frames, LogonRemembersItsPasswordBlockAndResendsItWhileSaved) {
    ComposeRequest("LOGON", "user", "secret", "253702");
    std::string first = Frame();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gAgent.savedPasswordBlock), 128),
              Block(first, 2));
    gAgent.useSavedPassword = true;
    ComposeRequest("LOGON", "user", "other text", "253702");
    std::string second = Frame();
    EXPECT_EQ(Block(second, 2), Block(first, 2)) << "the stored block goes out byte for byte";
    for (int i : {0, 1, 3})
        EXPECT_NE(Block(second, i), Block(first, i)) << "block " << i;
    gAgent.useSavedPassword = false;
    ComposeRequest("LOGON", "user", "", "253702");
    EXPECT_EQ(fake::DecryptBlock(Frame(), 2), "");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gAgent.savedPasswordBlock), 128),
              Block(Frame(), 2));
}

TEST_F(Frames, OtherRequestsLeaveTheSavedBlockAlone) {
    ComposeRequest("LOGON", "user", "secret", "253702");
    std::string saved(reinterpret_cast<char*>(gAgent.savedPasswordBlock), 128);
    ComposeRequest("PING", "user", "57", "3");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gAgent.savedPasswordBlock), 128), saved);
}

TEST_F(Frames, AFieldTheKeyCannotCarryLeavesAZeroBlock) {
    memset(gAgent.ioBuffer, 0xAB, 512);
    std::string tooLong(200, 'x');  // more than blockSize - 11
    ComposeRequest("PING", tooLong.c_str(), "57", "1");
    EXPECT_EQ(Block(Frame(), 1), std::string(128, '\0'));
    EXPECT_EQ(fake::DecryptBlock(Frame(), 0), "PING");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Both backends run this table: each form loads in both or in neither.
TEST_F(Frames, KeyLoading) {
    std::string pub2048 = ReadFile(std::string(VORNA_FIXTURES_DIR) + "/test_key_2048.pub.pem");
    std::string priv = ReadFile(std::string(VORNA_FIXTURES_DIR) + "/test_key_1024.pem");
    std::string builtIn = gConfig.serverKeyPem;
    std::string unended = builtIn.substr(0, builtIn.find_last_not_of('\n') + 1);
    struct {
        const char* name;
        std::string pem;
        bool loads;
        int blockSize;
    } cases[] = {
        {"built-in 1024-bit key", builtIn, true, 128},
        {"2048-bit key", pub2048, true, 256},
        {"empty field", "", false, 0},
        {"garbage", "not a key at all", false, 0},
        {"truncated body", builtIn.substr(0, 120), false, 0},
        {"private key instead of public", priv, false, 0},
        {"CR LF line ends", Replaced(builtIn, "\n", "\r\n"), true, 128},
        {"no line end after the END line", unended, true, 128},
        {"words before the BEGIN line", "the site's key:\n" + builtIn, true, 128},
        {"a private key first: the key runs past the field", priv + builtIn, false, 0},
        {"labelled as a PKCS#1 key", Replaced(builtIn, "PUBLIC KEY", "RSA PUBLIC KEY"), false, 0},
        {"a wrong length inside", Replaced(builtIn, "MIGfMA0G", "MIGgMA0G"), false, 0},
        {"not rsaEncryption", Replaced(builtIn, "MA0GCSqGSIb3DQEBAQUA", "MA0GCSqGSIb3DQEBAgUA"),
         false, 0},
    };
    for (auto& c : cases) {
        gAgent.serverKey = nullptr;
        gAgent.blockSize = 0;
        EXPECT_EQ(LoadServerKey(c.pem.c_str()), c.loads) << c.name;
        EXPECT_EQ(gAgent.blockSize, c.blockSize) << c.name;
        if (gAgent.serverKey != nullptr) FreeFieldKey(gAgent.serverKey);
    }
}

// The wire format as a tool that shares no code with the agent reads it.
TEST_F(Frames, OpensslCommandLineDecryptsEachBlock) {
    ComposeRequest("LOGON", "user", "secret", "253702");
    std::string frame = Frame();
    const char* expected[] = {"LOGON", "user", "secret", "253702"};
    char dir[] = "/tmp/vorna-frame-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (int i = 0; i < 4; i++) {
        std::string in = std::string(dir) + "/block" + std::to_string(i);
        std::string out = in + ".txt";
        std::ofstream(in, std::ios::binary) << Block(frame, i);
        std::string command = "openssl pkeyutl -decrypt -inkey " + std::string(VORNA_FIXTURES_DIR) +
                              "/test_key_1024.pem -pkeyopt rsa_padding_mode:pkcs1 -in " + in +
                              " -out " + out + " 2>/dev/null";
        ASSERT_EQ(system(command.c_str()), 0) << command;
        EXPECT_EQ(ReadFile(out), expected[i]) << "block " << i;
        remove(in.c_str());
        remove(out.c_str());
    }
    rmdir(dir);
}

}  // namespace
