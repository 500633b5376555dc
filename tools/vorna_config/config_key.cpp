#include "tools/vorna_config/config_key.h"

#include "tools/common/rsa_keys.h"
#include "tools/vorna_config/config_block.h"

namespace {

bool Describe(EVP_PKEY* parsed, BlockKey* key, std::string* error) {
    key->bits = KeyBits(parsed);
    key->fingerprint = PublicKeyFingerprint(parsed);
    key->pem = ConfigPublicKeyPem(parsed);
    if (key->bits < kMinKeyBits) {
        *error = std::to_string(key->bits) + "-bit key; the agent needs at least " +
                 std::to_string(kMinKeyBits) + " bits";
        return false;
    }
    if (key->pem.size() > MaxKeyChars()) {
        *error = std::to_string(key->bits) + "-bit key: its PEM form has " +
                 std::to_string(key->pem.size()) + " characters, the block holds " +
                 std::to_string(MaxKeyChars());
        return false;
    }
    return true;
}

}  // namespace

bool BlockKeyFromPem(const std::string& anyPem, BlockKey* key, std::string* error) {
    PkeyPtr parsed = ReadRsaPublicKeyAnyPem(anyPem, error);
    return parsed && Describe(parsed.get(), key, error);
}

bool CheckBlockKey(const std::string& blockPem, BlockKey* key, std::string* error) {
    if (blockPem.compare(0, 27, "-----BEGIN PUBLIC KEY-----\n") != 0) {
        *error = "the key field does not start with \"-----BEGIN PUBLIC KEY-----\"";
        return false;
    }
    PkeyPtr parsed = ReadRsaPublicKeyAnyPem(blockPem, error);
    if (!parsed || !Describe(parsed.get(), key, error)) return false;
    if (key->pem != blockPem) {
        *error = "the key parses but is not in the block's form (64-character lines, \"\\n\" "
                 "line ends, no final line end)";
        return false;
    }
    return true;
}

bool IsPublishedTestKey(const std::string& fingerprint) {
    static const char* const kPublished[] = {
        "2b20c57149fc0776e2330628966eb57766fe39f963b0310053621d4a3bab9ba6",  // built in, 1024
        "3e0d00f1be5fab3c4ab7f0ee00cea78fcbdc4ed16c18835c9c43acf3920c53b9",  // tests, 2048
    };
    for (const char* known : kPublished) {
        if (fingerprint == known) return true;
    }
    return false;
}
