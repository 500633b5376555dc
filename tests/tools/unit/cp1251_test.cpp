#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "core/cp1251.h"

namespace {

// glibc's own CP1251 table, as the reference.
std::string IconvToUtf8(unsigned char byte) {
    iconv_t converter = iconv_open("UTF-8", "CP1251");
    char in[1] = {static_cast<char>(byte)};
    char out[8] = {};
    char* inPointer = in;
    char* outPointer = out;
    size_t inLeft = 1, outLeft = sizeof out;
    const size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1)) return "";
    return std::string(out, sizeof out - outLeft);
}

TEST(Cp1251, EveryByteMatchesTheSystemTableAndComesBack) {
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        const std::string utf8 = Cp1251ToUtf8(one);
        if (byte == 0x98) {
            EXPECT_EQ(utf8, "\xEF\xBF\xBD") << "0x98 is unassigned";
            continue;
        }
        EXPECT_EQ(utf8, IconvToUtf8(static_cast<unsigned char>(byte))) << "byte " << byte;
        std::string back, error;
        ASSERT_TRUE(Utf8ToCp1251(utf8, &back, &error)) << "byte " << byte << ": " << error;
        EXPECT_EQ(back, one) << "byte " << byte;
    }
}

TEST(Cp1251, RussianTextConverts) {
    std::string bytes, error;
    ASSERT_TRUE(Utf8ToCp1251("Баланс: ёЁ №", &bytes, &error)) << error;
    EXPECT_EQ(bytes, "\xC1\xE0\xEB\xE0\xED\xF1: \xB8\xA8 \xB9");
}

struct BadUtf8Case {
    const char* name;
    std::string text;
    const char* errorPart;
};

TEST(Cp1251, BadOrForeignTextIsRefusedWithItsReason) {
    const BadUtf8Case cases[] = {
        {"lone continuation byte", "a\x80", "malformed UTF-8 at byte 1"},
        {"truncated two-byte sequence", "\xD0", "malformed"},
        {"truncated three-byte sequence", "\xE2\x82", "malformed"},
        {"overlong slash", "\xC0\xAF", "malformed"},
        {"surrogate", "\xED\xA0\x80", "malformed"},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", "malformed"},
        {"latin a with diaeresis", "\xC3\xA4", "U+00E4"},
        {"emoji", "\xF0\x9F\x98\x80", "U+1F600"},
        {"replacement character", "\xEF\xBF\xBD", "U+FFFD"},
    };
    for (const BadUtf8Case& c : cases) {
        std::string bytes = "untouched", error;
        EXPECT_FALSE(Utf8ToCp1251(c.text, &bytes, &error)) << c.name;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(bytes, "untouched") << c.name;
    }
}

struct ArgumentCase {
    const char* name;
    std::string text;
    bool ok;
    std::string expected;  // bytes, or a part of the error
};

TEST(Cp1251, TextArgumentsDecodeEscapesAndConvert) {
    const ArgumentCase cases[] = {
        {"plain ascii", "1 57", true, "1 57"},
        {"newline escape", "a\\nb", true, "a\nb"},
        {"tab, return, backslash", "\\t\\r\\\\", true, "\t\r\\"},
        {"raw byte is not converted", "\\xC0\\x98", true, "\xC0\x98"},
        {"cyrillic around a raw byte", "я\\x00я", true, std::string("\xFF\0\xFF", 3)},
        {"empty", "", true, ""},
        {"lone backslash at end", "abc\\", false, "lone backslash"},
        {"unknown escape", "\\q", false, "unknown escape"},
        {"short hex", "\\x4", false, "two hex digits"},
        {"bad hex", "\\xZZ", false, "two hex digits"},
        {"foreign character", "\xC3\xA4", false, "no CP1251 form"},
    };
    for (const ArgumentCase& c : cases) {
        std::string bytes, error;
        const bool ok = DecodeTextArgument(c.text, &bytes, &error);
        ASSERT_EQ(ok, c.ok) << c.name << ": " << error;
        if (ok) {
            EXPECT_EQ(bytes, c.expected) << c.name;
        } else {
            EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
        }
    }
}

}  // namespace
