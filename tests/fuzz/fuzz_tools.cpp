#include "tests/fuzz/fuzz_tools.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "tools/common/files.h"

namespace fuzz {

const std::string& FixtureText(const char* name) {
    static std::map<std::string, std::string> texts;
    auto found = texts.find(name);
    if (found != texts.end()) return found->second;
    std::string text, error;
    Require(ReadWholeFile(std::string(VORNA_FIXTURES_DIR) + "/" + name, &text, &error),
            std::string("fixture ") + name + ": " + error);
    return texts[name] = text;
}

EVP_PKEY* FixtureKey(const char* name) {
    static std::map<std::string, PkeyPtr> keys;
    PkeyPtr& key = keys[name];
    if (!key) {
        std::string error;
        key = ReadRsaPrivateKeyPem(FixtureText(name), &error);
        Require(key != nullptr, std::string("fixture key ") + name + ": " + error);
    }
    return key.get();
}

void Require(bool ok, const std::string& what) {
    if (ok) return;
    fprintf(stderr, "\n*** invariant broken: %s\n", what.c_str());
    abort();
}

}  // namespace fuzz
