// One request frame: four blocks of the key's size, each a PKCS#1 v1.5 encrypted field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/evp.h>

const int kRequestFields = 4;

struct Request {
    std::string fields[kRequestFields];  // decrypted bytes, CP1251 as the agent sends them
    std::string block3;                  // the third block as received (the password ciphertext)
};

// Size of one block for this key, in bytes.
size_t BlockSize(EVP_PKEY* key);

// Decrypts exactly 4 blocks. Any other length, or a block that does not decrypt, gives false
// with the reason in `error`; `out` is then unspecified.
bool ParseRequest(const uint8_t* bytes, size_t length, EVP_PKEY* key, Request* out,
                  std::string* error);

// The frame a client sends for these fields (for tests and the request tool). `block3`, when
// not null and not empty, is sent as the third block instead of encrypting fields[2].
bool ComposeFrame(EVP_PKEY* key, const std::string fields[kRequestFields],
                  const std::string* block3, std::string* frame, std::string* error);
