// The registry functions against the real registry, in a scratch key of their own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "wine_test_util.h"

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = "Software\\VornaAgentTests\\" + UniqueName("registry");
        key = PlatRegCreateKey(path.c_str());
        ASSERT_NE(nullptr, key);
    }
    void TearDown() override {
        PlatRegClose(key);
        RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    }
    std::string path;
    PlatKey key = nullptr;
};

struct StoredValue {
    const char* what;
    PlatValueType type;
    std::string bytes;
};

// The shapes the settings store writes: flags, the login without its NUL, the password block.
TEST_F(RegistryTest, ValuesComeBackWithTheirTypeAndSize) {
    std::string block(128, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(255 - i);
    const DWORD one = 1;
    const StoredValue values[] = {
        {"dword flag", kValueDword, std::string(reinterpret_cast<const char*>(&one), 4)},
        {"login without NUL", kValueString, "ivanov"},
        {"cyrillic login", kValueString, "Пользователь"},
        {"string with NUL", kValueString, std::string("abc\0", 4)},
        {"rsa block", kValueBinary, block},
        {"empty binary", kValueBinary, ""},
    };
    for (const StoredValue& v : values) {
        ASSERT_TRUE(
            PlatRegSet(key, v.what, v.type, v.bytes.data(), static_cast<uint32_t>(v.bytes.size())))
            << v.what;
    }
    // Read back through a fresh handle, as the next start of the agent would.
    PlatKey again = PlatRegCreateKey(path.c_str());
    for (const StoredValue& v : values) {
        char buffer[512];
        memset(buffer, '#', sizeof buffer);
        uint32_t size = sizeof buffer;
        PlatValueType type = kValueOther;
        ASSERT_TRUE(PlatRegQuery(again, v.what, buffer, &size, &type)) << v.what;
        EXPECT_EQ(v.type, type) << v.what;
        std::string got(buffer, size);
        // A string stored without its NUL may come back with one added.
        if (v.type == kValueString && got.size() == v.bytes.size() + 1 && got.back() == '\0')
            got.pop_back();
        EXPECT_EQ(v.bytes, got) << v.what;
        EXPECT_EQ('#', buffer[size]) << v.what << ": wrote past the value";
    }
    PlatRegClose(again);
}

// A read that does not fit fails and leaves the caller's buffer as it was. (A string of
// exactly the buffer's size is left out: whether the registry adds a NUL varies.)
TEST_F(RegistryTest, ReadsAreBoundedByTheGivenSize) {
    std::string block(128, '\x42');
    ASSERT_TRUE(PlatRegSet(key, "pass", kValueBinary, block.data(), 128));
    ASSERT_TRUE(PlatRegSet(key, "login", kValueString, "abcdefgh", 8));
    struct Case {
        const char* name;
        uint32_t size;
        bool fits;
    } cases[] = {
        {"pass", 127, false}, {"pass", 128, true}, {"pass", 0, false},
        {"login", 7, false},  {"login", 9, true},  {"missing", 64, false},
    };
    for (const Case& c : cases) {
        char buffer[256];
        memset(buffer, '#', sizeof buffer);
        uint32_t size = c.size;
        PlatValueType type = kValueOther;
        bool ok = PlatRegQuery(key, c.name, buffer, &size, &type);
        EXPECT_EQ(c.fits, ok) << c.name << " into " << c.size;
        size_t untouchedFrom = ok ? size : 0;
        for (size_t i = untouchedFrom; i < sizeof buffer; ++i) {
            if (buffer[i] != '#') {
                ADD_FAILURE() << c.name << " into " << c.size << ": byte " << i << " changed";
                break;
            }
        }
        if (!ok) {
            EXPECT_EQ(c.size, size) << "size changed on failure";
            EXPECT_EQ(kValueOther, type) << "type changed on failure";
        }
    }
}

TEST_F(RegistryTest, DeleteRemovesOnlyThatValueAndReportsAbsence) {
    const DWORD zero = 0;
    ASSERT_TRUE(PlatRegSet(key, "login", kValueString, "x", 1));
    ASSERT_TRUE(PlatRegSet(key, "savedata", kValueDword, &zero, 4));
    EXPECT_TRUE(PlatRegDelete(key, "login"));
    EXPECT_FALSE(PlatRegDelete(key, "login")) << "already gone";
    char buffer[8];
    uint32_t size = sizeof buffer;
    EXPECT_FALSE(PlatRegQuery(key, "login", buffer, &size, nullptr));
    size = sizeof buffer;
    EXPECT_TRUE(PlatRegQuery(key, "savedata", buffer, &size, nullptr));
    EXPECT_EQ(4u, size);
}

}  // namespace
