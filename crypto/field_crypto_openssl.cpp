// The OpenSSL backend: the Windows and desktop Linux agents.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "crypto/field_crypto.h"

struct FieldKey {
    RSA* rsa;
};

FieldKey* ReadFieldKey(const char* pem) {
    BIO* reader = BIO_new_mem_buf(pem, -1);
    if (reader == nullptr) return nullptr;
    RSA* rsa = PEM_read_bio_RSA_PUBKEY(reader, nullptr, nullptr, nullptr);
    BIO_free(reader);
    if (rsa == nullptr) return nullptr;
    // A public-key operation has no secret to blind.
    RSA_blinding_off(rsa);
    FieldKey* key = new FieldKey{rsa};
    return key;
}

void FreeFieldKey(FieldKey* key) {
    if (key == nullptr) return;
    RSA_free(key->rsa);
    delete key;
}

int FieldKeyBytes(const FieldKey* key) { return RSA_size(key->rsa); }

int FieldKeyBits(const FieldKey* key) { return RSA_bits(key->rsa); }

bool EncryptWithFieldKey(const FieldKey* key, const uint8_t* text, size_t length,
                         uint8_t* destination) {
    if (length > static_cast<size_t>(RSA_size(key->rsa))) return false;
    const int written = RSA_public_encrypt(static_cast<int>(length), text, destination, key->rsa,
                                           RSA_PKCS1_PADDING);
    return written == RSA_size(key->rsa);
}

bool FieldKeyFingerprint(const FieldKey* key, uint8_t digest[kFingerprintSize]) {
    unsigned char* der = nullptr;
    const int length = i2d_RSA_PUBKEY(key->rsa, &der);
    if (length <= 0) return false;
    unsigned int digestLength = 0;
    const bool ok = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength,
                               EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    return ok && digestLength == kFingerprintSize;
}
