#include "tools/access_server/request.h"

#include <memory>

#include <openssl/err.h>
#include <openssl/rsa.h>

#include "tools/common/rsa_keys.h"

namespace {

struct ContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<EVP_PKEY_CTX, ContextFree>;

bool DecryptBlock(EVP_PKEY* key, const uint8_t* block, size_t size, std::string* text) {
    ContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
        return false;
    }
    // Newer OpenSSL would hand back random bytes for bad padding; a test server must say so.
    if (EVP_PKEY_CTX_ctrl_str(context.get(), "rsa_pkcs1_implicit_rejection", "0") <= 0) {
        ERR_clear_error();
    }
    std::string out(size, '\0');
    size_t outLength = out.size();
    if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(&out[0]), &outLength,
                         block, size) != 1) {
        ERR_clear_error();
        return false;
    }
    out.resize(outLength);
    *text = out;
    return true;
}

}  // namespace

size_t BlockSize(EVP_PKEY* key) { return static_cast<size_t>(EVP_PKEY_size(key)); }

bool ParseRequest(const uint8_t* bytes, size_t length, EVP_PKEY* key, Request* out,
                  std::string* error) {
    const size_t block = BlockSize(key);
    if (length != kRequestFields * block) {
        *error = "request of " + std::to_string(length) + " bytes, expected " +
                 std::to_string(kRequestFields * block) + " (4 blocks of " + std::to_string(block) +
                 ")";
        return false;
    }
    for (int i = 0; i < kRequestFields; ++i) {
        if (!DecryptBlock(key, bytes + i * block, block, &out->fields[i])) {
            *error = "block " + std::to_string(i + 1) + " does not decrypt";
            return false;
        }
    }
    out->block3.assign(reinterpret_cast<const char*>(bytes + 2 * block), block);
    return true;
}

bool ComposeFrame(EVP_PKEY* key, const std::string fields[kRequestFields],
                  const std::string* block3, std::string* frame, std::string* error) {
    const size_t block = BlockSize(key);
    std::string out;
    for (int i = 0; i < kRequestFields; ++i) {
        if (i == 2 && block3 && !block3->empty()) {
            if (block3->size() != block) {
                *error = "the given third block has " + std::to_string(block3->size()) +
                         " bytes, the key needs " + std::to_string(block);
                return false;
            }
            out += *block3;
            continue;
        }
        if (fields[i].size() + 11 > block) {
            *error = "field " + std::to_string(i + 1) + " is too long for the key";
            return false;
        }
        ContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
        std::string encrypted(block, '\0');
        size_t encryptedLength = encrypted.size();
        if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_encrypt(
                context.get(), reinterpret_cast<unsigned char*>(&encrypted[0]), &encryptedLength,
                reinterpret_cast<const unsigned char*>(fields[i].data()), fields[i].size()) != 1 ||
            encryptedLength != block) {
            *error =
                "encryption of field " + std::to_string(i + 1) + " failed: " + TakeOpenSslError();
            return false;
        }
        out += encrypted;
    }
    *frame = out;
    return true;
}
