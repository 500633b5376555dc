// RSA keys in the forms admins have them, and in the one form the agent's executable holds.
#pragma once

#include <memory>
#include <string>

#include <openssl/evp.h>

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Smallest key the agent can use: its fields are up to 63 characters and PKCS#1 v1.5 padding
// takes 11 bytes of every block.
const int kMinKeyBits = 1024;

// An unencrypted RSA private key (PKCS#8 "PRIVATE KEY" or PKCS#1 "RSA PRIVATE KEY").
PkeyPtr ReadRsaPrivateKeyPem(const std::string& pem, std::string* error);

// An RSA public key from the first PEM block that carries one: "PUBLIC KEY", "RSA PUBLIC KEY",
// "CERTIFICATE" (its subject key) or a private key (its public half).
PkeyPtr ReadRsaPublicKeyAnyPem(const std::string& pem, std::string* error);

PkeyPtr GenerateRsaKey(int bits, std::string* error);

// The public half as the agent's configuration block holds it: "-----BEGIN PUBLIC KEY-----",
// base64 SubjectPublicKeyInfo in 64-character lines, "-----END PUBLIC KEY-----", "\n" line
// ends and no final line end (271 characters for 1024 bits).
std::string ConfigPublicKeyPem(EVP_PKEY* key);

// PKCS#8, unencrypted, with a final line end.
std::string PrivateKeyPem(EVP_PKEY* key);

int KeyBits(EVP_PKEY* key);

// SHA-256 of the DER SubjectPublicKeyInfo in lower-case hex, the same value as
// `openssl pkey -pubin -outform DER | sha256sum`.
std::string PublicKeyFingerprint(EVP_PKEY* key);

// The oldest OpenSSL error, for messages; empties the error queue.
std::string TakeOpenSslError();
