#include <gtest/gtest.h>

#include <string>

#include "fixture_keys.h"
#include "tools/access_server/log_json.h"
#include "tools/access_server/request.h"

namespace {

std::string Frame(EVP_PKEY* key, const std::string fields[4], const std::string* block3 = nullptr) {
    std::string frame, error;
    EXPECT_TRUE(ComposeFrame(key, fields, block3, &frame, &error)) << error;
    return frame;
}

bool Parse(EVP_PKEY* key, const std::string& frame, Request* request, std::string* error) {
    return ParseRequest(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), key, request,
                        error);
}

TEST(Request, FramesOfBothKeySizesDecryptToTheirFields) {
    const char* const keys[] = {"test_key_1024.pem", "test_key_2048.pem"};
    const std::string fields[4] = {"LOGON", "\xE8\xE2\xE0\xED\xEE\xE2", "", "253702"};
    for (const char* name : keys) {
        PkeyPtr key = FixturePrivateKey(name);
        const std::string frame = Frame(key.get(), fields);
        ASSERT_EQ(frame.size(), 4 * BlockSize(key.get())) << name;
        Request request;
        std::string error;
        ASSERT_TRUE(Parse(key.get(), frame, &request, &error)) << name << ": " << error;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(request.fields[i], fields[i]) << name << " field " << i;
        const size_t block = BlockSize(key.get());
        EXPECT_EQ(request.block3, frame.substr(2 * block, block)) << name;
    }
}

struct BadFrameCase {
    const char* name;
    long length;       // -1: the good frame's length
    int corruptBlock;  // 1..4: that block is damaged; 0: none
    char fill;         // the damaged block is this byte repeated: 0xFF is above the modulus
    const char* errorPart;
};

TEST(Request, BadFramesAreRefusedWithTheirReason) {
    PkeyPtr key = FixturePrivateKey("test_key_1024.pem");
    const std::string fields[4] = {"PING", "ivanov", "57", "1"};
    const std::string good = Frame(key.get(), fields);
    const BadFrameCase cases[] = {
        {"empty", 0, 0, 0, "request of 0 bytes, expected 512"},
        {"one byte short", 511, 0, 0, "request of 511 bytes"},
        {"one byte long", 513, 0, 0, "request of 513 bytes"},
        {"eight blocks", 1024, 0, 0, "request of 1024 bytes"},
        {"first block zero", -1, 1, '\x00', "block 1 does not decrypt"},
        {"second block of ones", -1, 2, '\x01', "block 2 does not decrypt"},
        {"third block zero", -1, 3, '\x00', "block 3 does not decrypt"},
        {"fourth block of ones", -1, 4, '\x01', "block 4 does not decrypt"},
        {"block above the modulus", -1, 2, '\xFF', "block 2 does not decrypt"},
    };
    for (const BadFrameCase& c : cases) {
        std::string frame = good;
        if (c.length >= 0) frame.resize(static_cast<size_t>(c.length), 'x');
        if (c.corruptBlock) {
            const size_t start = (c.corruptBlock - 1) * 128;
            frame.replace(start, 128, std::string(128, c.fill));
        }
        Request request;
        std::string error;
        EXPECT_FALSE(Parse(key.get(), frame, &request, &error)) << c.name;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
    }
}

TEST(Request, ComposingRefusesWhatTheKeyCannotCarry) {
    PkeyPtr key = FixturePrivateKey("test_key_1024.pem");
    std::string frame, error;
    const std::string longest[4] = {"PING", std::string(117, 'a'), "1", "1"};
    EXPECT_TRUE(ComposeFrame(key.get(), longest, nullptr, &frame, &error)) << error;
    const std::string tooLong[4] = {"PING", std::string(118, 'a'), "1", "1"};
    EXPECT_FALSE(ComposeFrame(key.get(), tooLong, nullptr, &frame, &error));
    EXPECT_NE(error.find("field 2 is too long"), std::string::npos) << error;
    const std::string shortBlock(127, 'b');
    EXPECT_FALSE(ComposeFrame(key.get(), longest, &shortBlock, &frame, &error));
    EXPECT_NE(error.find("127 bytes"), std::string::npos) << error;
}

}  // namespace

namespace {

TEST(Log, LinesStayValidJsonWhateverTheFieldsHold) {
    const struct {
        std::string cp1251;
        const char* json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\nend\r\ttab", "\"line\\nend\\r\\ttab\""},
        {std::string("nul\0bell\x07"
                     "del\x7f",
                     13),
         "\"nul\\u0000bell\\u0007del\\u007f\""},
        {"\xC8\xE2\xE0\xED \x98", "\"\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD \xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        const std::string line = LogLine(1.5).Text("f", c.cp1251).Finish();
        EXPECT_EQ(line, std::string("{\"t\": 1.500, \"f\": ") + c.json + "}") << c.json;
    }
    const std::string fields[2] = {"A", ""};
    EXPECT_EQ(LogLine(0).TextList("l", fields, 2).Flag("b", true).Number("n", -3).Finish(),
              "{\"t\": 0.000, \"l\": [\"A\", \"\"], \"b\": true, \"n\": -3}");
}

}  // namespace
