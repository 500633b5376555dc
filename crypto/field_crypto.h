// The encryption the agent needs: an RSA public key read from PEM, and one request field
// encrypted with it. Two backends implement it (OpenSSL for the desktop agents, BearSSL for the
// router agent); nothing else sees the crypto library or its key type.
#pragma once

#include <cstddef>
#include <cstdint>

struct FieldKey;

const size_t kFingerprintSize = 32;  // SHA-256

// Parses the first "PUBLIC KEY" (SubjectPublicKeyInfo) PEM object in `pem` (NUL-terminated) as
// an RSA key. Returns nullptr when there is none or it is not an RSA key.
FieldKey* ReadFieldKey(const char* pem);
void FreeFieldKey(FieldKey* key);

// The modulus in bytes (the size of every encrypted block) and in bits.
int FieldKeyBytes(const FieldKey* key);
int FieldKeyBits(const FieldKey* key);

// Encrypts `length` bytes with PKCS#1 v1.5 padding into FieldKeyBytes(key) bytes. Fails (and
// writes nothing meaningful) when the text is longer than the key can carry or when no random
// bytes could be had for the padding.
bool EncryptWithFieldKey(const FieldKey* key, const uint8_t* text, size_t length,
                         uint8_t* destination);

// SHA-256 of the key's DER SubjectPublicKeyInfo, as `openssl pkey -pubin -outform DER` writes it.
bool FieldKeyFingerprint(const FieldKey* key, uint8_t digest[kFingerprintSize]);
