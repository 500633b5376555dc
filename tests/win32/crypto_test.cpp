// The cross-built libcrypto under the real system: key parsing and encryption with its RNG.
#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "core/agent_state.h"
#include "crypto/field_crypto.h"
#include "fixture_keys.h"
#include "session/frames.h"

namespace {

void ForgetKey() {
    FreeFieldKey(gAgent.serverKey);
    gAgent.serverKey = nullptr;
    gAgent.blockSize = 0;
}

struct KeyCase {
    const char* what;
    std::string pem;
    bool loads;
    int blockSize;
};

TEST(ServerKey, LoadsPublicKeysAndRejectsAnythingElse) {
    std::string builtIn = gConfig.serverKeyPem;
    const KeyCase cases[] = {
        {"2048-bit fixture", kTestKey2048Public, true, 256},
        {"built-in 1024-bit key", builtIn, true, 128},
        {"private key", kTestKey1024Private, false, 0},
        {"cut in the middle", builtIn.substr(0, 150), false, 0},
        {"not PEM at all", "vorna_zep_key", false, 0},
        {"empty", "", false, 0},
    };
    for (const KeyCase& c : cases) {
        ForgetKey();
        EXPECT_EQ(c.loads, LoadServerKey(c.pem.c_str())) << c.what;
        if (c.loads) {
            EXPECT_EQ(c.blockSize, gAgent.blockSize) << c.what;
            EXPECT_NE(nullptr, gAgent.serverKey) << c.what;
        }
    }
    ForgetKey();
}

std::string Decrypt(const std::vector<uint8_t>& block) {
    BIO* reader = BIO_new_mem_buf(kTestKey1024Private, -1);
    RSA* key = PEM_read_bio_RSAPrivateKey(reader, nullptr, nullptr, nullptr);
    BIO_free(reader);
    if (!key) return "<no private key>";
    std::vector<uint8_t> clear(block.size());
    int n = RSA_private_decrypt(static_cast<int>(block.size()), block.data(), clear.data(), key,
                                RSA_PKCS1_PADDING);
    RSA_free(key);
    return n < 0 ? "<undecryptable>" : std::string(clear.begin(), clear.begin() + n);
}

// Padding comes from the random generator, which has to be seeded on this system.
TEST(ServerKey, FieldsDecryptWithThePrivateKeyAndNeverRepeat) {
    ForgetKey();
    ASSERT_TRUE(LoadServerKey(gConfig.serverKeyPem));
    std::vector<uint8_t> first(gAgent.blockSize), second(gAgent.blockSize);
    EncryptField("LOGON", first.data());
    EncryptField("LOGON", second.data());
    EXPECT_EQ("LOGON", Decrypt(first));
    EXPECT_EQ("LOGON", Decrypt(second));
    EXPECT_NE(first, second) << "two encryptions gave the same block";
    ForgetKey();
}

}  // namespace
