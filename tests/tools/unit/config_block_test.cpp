#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fixture_keys.h"
#include "tools/vorna_config/config_block.h"
#include "tools/vorna_config/config_key.h"

namespace {

std::string Field(const std::string& text, size_t width) {
    std::string field = text;
    field.resize(width, '\0');
    return field;
}

std::string BuiltInKey() {
    std::string key = SharedFixture("test_key_1024.pub.pem");
    while (!key.empty() && key.back() == '\n')
        key.pop_back();
    return key;
}

std::string Block(const std::string& address = "10.0.0.1", const std::string& port = "800",
                  const std::string& key = BuiltInKey()) {
    return std::string("vorna_zep_addr\0", 15) + Field(address, 31) +
           std::string("vorna_zep_port\0", 15) + Field(port, 21) +
           std::string("vorna_zep_key\0", 14) + Field(key, 1025) +
           std::string("vorna_zep_JUSTUSR\0", 18);
}

// A block between bytes that look like code and data, markers' first letters included.
std::string Image(const std::string& block = Block()) {
    std::string before, after;
    for (int i = 0; i < 3000; ++i)
        before += static_cast<char>((i * 37) % 251);
    before += "vorna_zep_ad vorna_zep_port vorna";
    for (int i = 0; i < 2000; ++i)
        after += static_cast<char>((i * 53) % 241);
    return before + block + after;
}

bool Find(const std::string& image, ConfigLayout* layout, std::string* error) {
    return FindConfigBlock(reinterpret_cast<const uint8_t*>(image.data()), image.size(), layout,
                           error);
}

TEST(ConfigBlock, TheBlockIsFoundAndItsFieldsRead) {
    const std::string image = Image();
    ConfigLayout layout;
    std::string error;
    ASSERT_TRUE(Find(image, &layout, &error)) << error;
    EXPECT_EQ(layout.address, 3033u + 15u);
    const ConfigFields fields =
        ReadConfigFields(reinterpret_cast<const uint8_t*>(image.data()), layout);
    EXPECT_EQ(fields.address, "10.0.0.1");
    EXPECT_EQ(fields.port, "800");
    EXPECT_EQ(fields.keyPem, BuiltInKey());
    EXPECT_EQ(fields.keyPem.size(), 271u);
}

struct DamageCase {
    const char* name;
    std::function<std::string()> image;
    const char* errorPart;
};

TEST(ConfigBlock, DamagedImagesAreRefusedNamingTheMarker) {
    const std::string block = Block();
    auto without = [block](size_t at) {
        std::string damaged = block;
        damaged[at] = 'X';
        return Image(damaged);
    };
    const DamageCase cases[] = {
        {"empty file", [] { return std::string(); }, "\"vorna_zep_addr\" not found"},
        {"address marker spoilt", [&] { return without(0); }, "\"vorna_zep_addr\" not found"},
        {"port marker spoilt", [&] { return without(46 + 3); }, "\"vorna_zep_port\" not found"},
        {"key marker's NUL spoilt", [&] { return without(82 + 13); },
         "\"vorna_zep_key\" not found"},
        {"end marker spoilt", [&] { return without(1121 + 17); },
         "\"vorna_zep_JUSTUSR\" not found"},
        {"two blocks", [&] { return Image(block + block); },
         "\"vorna_zep_addr\" found more than once"},
        {"key marker twice", [&] { return Image(block) + std::string("vorna_zep_key\0", 14); },
         "\"vorna_zep_key\" found more than once"},
        {"end marker moved by a byte",
         [&] {
             std::string moved = block;
             moved.insert(1121, 1, '\0');
             return Image(moved);
         },
         "\"vorna_zep_JUSTUSR\" is not 1039 bytes after"},
        {"block cut at the end",
         [&] { return std::string(100, 'a') + block.substr(0, block.size() - 1); },
         "\"vorna_zep_JUSTUSR\" not found"},
    };
    for (const DamageCase& c : cases) {
        ConfigLayout layout;
        std::string error;
        EXPECT_FALSE(Find(c.image(), &layout, &error)) << c.name;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
    }
}

TEST(ConfigBlock, AddressesAndPortsAreChecked) {
    const struct {
        const char* text;
        bool ok;
    } addresses[] = {
        {"10.0.0.1", true},   {"255.255.255.255", false},
        {"0.0.0.0", false},   {"192.168.1.10", true},
        {"0.0.0.1", true},    {"255.255.255.254", true},
        {"256.1.1.1", false}, {"1.2.3", false},
        {"1.2.3.4.5", false}, {"01.2.3.4", false},
        {"1.2.3.04", false},  {"a.b.c.d", false},
        {"1.2.3.4 ", false},  {" 1.2.3.4", false},
        {"1..2.3", false},    {"", false},
        {"1.2.3.-4", false},  {"1234.1.1.1", false},
        {"localhost", false},
    };
    for (const auto& c : addresses) {
        std::string error;
        EXPECT_EQ(CheckAddress(c.text, &error), c.ok) << "\"" << c.text << "\" " << error;
    }
    const struct {
        const char* text;
        const char* canonical;  // null: refused
    } ports[] = {
        {"800", "800"},
        {"1", "1"},
        {"65535", "65535"},
        {"0800", "800"},
        {"0", nullptr},
        {"65536", nullptr},
        {"-1", nullptr},
        {"80a", nullptr},
        {"", nullptr},
        {" 80", nullptr},
        {"99999999999999999999", nullptr},
    };
    for (const auto& c : ports) {
        std::string canonical, error;
        const bool ok = CheckPort(c.text, &canonical, &error);
        EXPECT_EQ(ok, c.canonical != nullptr) << "\"" << c.text << "\" " << error;
        if (ok) {
            EXPECT_EQ(canonical, c.canonical) << c.text;
        }
    }
}

TEST(ConfigBlock, StampRewritesOnlyTheFieldsNulPadded) {
    std::string image = Image(Block("10.0.0.1", "800", BuiltInKey()));
    const std::string original = image;
    StampChanges changes;
    changes.address = "127.0.0.1";
    changes.port = "08800";
    changes.keyPem = "-----BEGIN PUBLIC KEY-----\nshort\n-----END PUBLIC KEY-----";
    std::string error;
    ASSERT_TRUE(StampConfig(&image, changes, &error)) << error;
    ASSERT_EQ(image.size(), original.size());
    EXPECT_EQ(image, Image(Block("127.0.0.1", "8800", *changes.keyPem)))
        << "fields NUL-padded, everything else untouched";
}

struct RefusedStamp {
    const char* name;
    std::function<void(StampChanges*)> change;
    std::function<std::string()> image;
    const char* errorPart;
};

// Refusals a command line cannot produce; the others are covered by the tool's process tests.
TEST(ConfigBlock, RefusedStampsLeaveTheImageAsItWas) {
    const RefusedStamp cases[] = {
        {"key of 1025 characters", [](StampChanges* c) { c->keyPem = std::string(1025, 'k'); },
         [] { return Image(); }, "1025 characters"},
        {"key with a NUL", [](StampChanges* c) { c->keyPem = std::string("ab\0cd", 5); },
         [] { return Image(); }, "NUL"},
        {"unchanged address is not usable", [](StampChanges* c) { c->port = "801"; },
         [] { return Image(Block("10.0.0.999")); }, "not a dotted IPv4"},
    };
    for (const RefusedStamp& c : cases) {
        std::string image = c.image();
        const std::string original = image;
        StampChanges changes;
        c.change(&changes);
        std::string error;
        EXPECT_FALSE(StampConfig(&image, changes, &error)) << c.name;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(image, original) << c.name;
    }
}

// Key texts the process tests do not bring: the common forms are stamped there.
TEST(ConfigKey, KeyTextsAreReadOrRefusedWithTheReason) {
    const struct {
        const char* name;
        std::string pem;
        const char* errorPart;  // null: accepted as the built-in key
    } cases[] = {
        {"text before the PEM block", "issued to site 7\n" + ToolFixture("cert_1024.pem"), nullptr},
        {"no PEM at all", "hello", "no PEM block"},
        {"unknown PEM block", "-----BEGIN DH PARAMETERS-----\nAA==\n-----END DH PARAMETERS-----\n",
         "unsupported PEM block DH PARAMETERS"},
        {"damaged body", "-----BEGIN PUBLIC KEY-----\nMIGfMA0G\n-----END PUBLIC KEY-----\n",
         "does not parse"},
    };
    for (const auto& c : cases) {
        BlockKey key;
        std::string error;
        EXPECT_EQ(BlockKeyFromPem(c.pem, &key, &error), c.errorPart == nullptr) << c.name;
        if (c.errorPart) {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
        } else {
            EXPECT_EQ(key.pem, BuiltInKey()) << c.name;
        }
    }
    BlockKey key;
    std::string error;
    EXPECT_FALSE(CheckBlockKey(ToolFixture("rsa_1024_pkcs1_public.pem"), &key, &error));
    EXPECT_NE(error.find("does not start with"), std::string::npos) << error;
}

}  // namespace
