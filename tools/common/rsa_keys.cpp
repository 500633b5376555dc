#include "tools/common/rsa_keys.h"

#include <cstdio>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr MemoryBio(const std::string& text, size_t from) {
    return BioPtr(BIO_new_mem_buf(text.data() + from, static_cast<int>(text.size() - from)));
}

// Never supplies a passphrase: the tools take only unencrypted keys.
int NoPassphrase(char*, int, int, void*) { return -1; }

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

bool RequireRsa(const PkeyPtr& key, std::string* error) {
    if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
        *error = std::string("the key is not an RSA key (it is ") +
                 OBJ_nid2sn(EVP_PKEY_base_id(key.get())) + ")";
        return false;
    }
    return true;
}

PkeyPtr FromRsa(RSA* rsa) {
    if (!rsa) return nullptr;
    PkeyPtr key(EVP_PKEY_new());
    if (!key || EVP_PKEY_assign_RSA(key.get(), rsa) != 1) {
        RSA_free(rsa);
        return nullptr;
    }
    return key;
}

// The header of the first PEM block, e.g. "PUBLIC KEY", and where it starts; empty if none.
std::string FirstPemLabel(const std::string& pem, size_t* start) {
    const std::string begin = "-----BEGIN ";
    const size_t at = pem.find(begin);
    if (at == std::string::npos) return "";
    const size_t end = pem.find("-----", at + begin.size());
    if (end == std::string::npos) return "";
    *start = at;
    return pem.substr(at + begin.size(), end - at - begin.size());
}

// Other algorithms' keys come in blocks of their own (an EC key often after "EC PARAMETERS"):
// say what the key is rather than which block was expected.
bool IsOtherAlgorithm(const std::string& pem, std::string* error) {
    static const char* const kBlocks[][2] = {{"EC PARAMETERS", "EC"},
                                             {"EC PRIVATE KEY", "EC"},
                                             {"DSA PARAMETERS", "DSA"},
                                             {"DSA PRIVATE KEY", "DSA"},
                                             {"OPENSSH PRIVATE KEY", "OpenSSH"}};
    for (const auto& block : kBlocks) {
        if (pem.find(std::string("-----BEGIN ") + block[0] + "-----") != std::string::npos) {
            *error = std::string("the key is not an RSA key (it is an ") + block[1] + " key)";
            return true;
        }
    }
    return false;
}

}  // namespace

std::string TakeOpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no detail from OpenSSL";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

PkeyPtr ReadRsaPrivateKeyPem(const std::string& pem, std::string* error) {
    if (IsOtherAlgorithm(pem, error)) return nullptr;
    size_t start = 0;
    const std::string label = FirstPemLabel(pem, &start);
    if (label == "ENCRYPTED PRIVATE KEY" ||
        pem.find("Proc-Type: 4,ENCRYPTED") != std::string::npos) {
        *error = "the private key is encrypted; decrypt it first "
                 "(openssl pkey -in KEY -out PLAIN.pem)";
        return nullptr;
    }
    if (label != "PRIVATE KEY" && label != "RSA PRIVATE KEY") {
        *error = label.empty() ? "no PEM block found" : "expected a private key, found " + label;
        return nullptr;
    }
    BioPtr bio = MemoryBio(pem, start);
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    if (!key) {
        *error = "the private key does not parse: " + TakeOpenSslError();
        return nullptr;
    }
    if (!RequireRsa(key, error)) return nullptr;
    return key;
}

PkeyPtr ReadRsaPublicKeyAnyPem(const std::string& pem, std::string* error) {
    if (IsOtherAlgorithm(pem, error)) return nullptr;
    size_t start = 0;
    const std::string label = FirstPemLabel(pem, &start);
    PkeyPtr key;
    if (label == "PUBLIC KEY") {
        BioPtr bio = MemoryBio(pem, start);
        key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassphrase, nullptr));
    } else if (label == "RSA PUBLIC KEY") {
        BioPtr bio = MemoryBio(pem, start);
        key = FromRsa(PEM_read_bio_RSAPublicKey(bio.get(), nullptr, NoPassphrase, nullptr));
    } else if (label == "CERTIFICATE" || label == "X509 CERTIFICATE") {
        BioPtr bio = MemoryBio(pem, start);
        X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr);
        if (certificate) {
            key.reset(X509_get_pubkey(certificate));
            X509_free(certificate);
        }
    } else if (label.find("PRIVATE KEY") != std::string::npos) {
        return ReadRsaPrivateKeyPem(pem, error);
    } else {
        *error = label.empty() ? "no PEM block found (expected \"-----BEGIN PUBLIC KEY-----\", "
                                 "an RSA PUBLIC KEY, a CERTIFICATE or a private key)"
                               : "unsupported PEM block " + label;
        return nullptr;
    }
    if (!key) {
        *error = "the " + label + " block does not parse: " + TakeOpenSslError();
        return nullptr;
    }
    if (!RequireRsa(key, error)) return nullptr;
    return key;
}

PkeyPtr GenerateRsaKey(int bits, std::string* error) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    EVP_PKEY* raw = nullptr;
    const bool made = context && EVP_PKEY_keygen_init(context) == 1 &&
                      EVP_PKEY_CTX_set_rsa_keygen_bits(context, bits) == 1 &&
                      EVP_PKEY_keygen(context, &raw) == 1;
    EVP_PKEY_CTX_free(context);
    if (!made) {
        *error = "key generation failed: " + TakeOpenSslError();
        return nullptr;
    }
    return PkeyPtr(raw);
}

std::string ConfigPublicKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return "";
    std::string text = BioText(bio.get());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string PrivateKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return "";
    }
    return BioText(bio.get());
}

int KeyBits(EVP_PKEY* key) { return EVP_PKEY_bits(key); }

std::string PublicKeyFingerprint(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool ok = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength,
                               EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok) return "";
    std::string hex;
    for (unsigned int i = 0; i < digestLength; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}
