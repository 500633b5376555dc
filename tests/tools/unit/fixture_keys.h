// Keys from the fixture directories, for the tools' unit tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tools/common/files.h"
#include "tools/common/rsa_keys.h"

inline std::string FixtureText(const std::string& path) {
    std::string text, error;
    EXPECT_TRUE(ReadWholeFile(path, &text, &error)) << error;
    return text;
}

inline std::string SharedFixture(const char* name) {
    return FixtureText(std::string(VORNA_FIXTURES) + "/" + name);
}

inline std::string ToolFixture(const char* name) {
    return FixtureText(std::string(VORNA_TOOL_FIXTURES) + "/" + name);
}

inline PkeyPtr FixturePrivateKey(const char* name) {
    std::string error;
    PkeyPtr key = ReadRsaPrivateKeyPem(SharedFixture(name), &error);
    EXPECT_TRUE(key) << name << ": " << error;
    return key;
}
