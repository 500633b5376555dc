// The BearSSL backend: the router agent, where OpenSSL's libcrypto alone would outgrow the flash.
// Byte-compatible with the OpenSSL backend: the same keys load, the server decrypts the same way.
#include <bearssl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>

#include "crypto/field_crypto.h"

namespace {

const size_t kMaxModulusBytes = 512;  // BearSSL's RSA engines stop at 4096 bits
const size_t kMaxDerSize = 1024;      // a 1 KB PEM field decodes to less
const size_t kPaddingOverhead = 11;   // PKCS#1 v1.5: 00 02, eight random bytes at least, 00
const unsigned kReseedAfter = 1024;   // fields encrypted between two fresh seeds
const uint8_t kRsaEncryptionOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

}  // namespace

struct FieldKey {
    uint8_t n[kMaxModulusBytes];
    size_t nLength;
    uint8_t e[kMaxModulusBytes];
    size_t eLength;
};

namespace {

struct Der {
    const uint8_t* p;
    size_t size;
};

// Takes one DER element with `tag` off the front of `in`; its contents go to `body`.
bool Take(Der* in, uint8_t tag, Der* body) {
    if (in->size < 2 || in->p[0] != tag) return false;
    size_t length = in->p[1], head = 2;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 2 || in->size < 2 + bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; i++)
            length = length << 8 | in->p[2 + i];
        head += bytes;
    }
    if (in->size - head < length) return false;
    *body = {in->p + head, length};
    in->p += head + length;
    in->size -= head + length;
    return true;
}

// A positive INTEGER without its leading zero bytes, into `out` (at most kMaxModulusBytes).
bool TakeUnsigned(Der* in, uint8_t* out, size_t* outLength) {
    Der value;
    if (!Take(in, 0x02, &value) || value.size == 0 || (value.p[0] & 0x80)) return false;
    while (value.size > 0 && value.p[0] == 0) {
        value.p++;
        value.size--;
    }
    if (value.size == 0 || value.size > kMaxModulusBytes) return false;
    memcpy(out, value.p, value.size);
    *outLength = value.size;
    return true;
}

// SubjectPublicKeyInfo { AlgorithmIdentifier { rsaEncryption, NULL or nothing },
// BIT STRING { RSAPublicKey { n, e } } }; bytes after it are ignored, as OpenSSL does.
bool ParsePublicKeyInfo(const uint8_t* der, size_t size, FieldKey* key) {
    Der in{der, size}, info, algorithm, oid, bits, rsa;
    if (!Take(&in, 0x30, &info) || !Take(&info, 0x30, &algorithm)) return false;
    if (!Take(&algorithm, 0x06, &oid) || oid.size != sizeof kRsaEncryptionOid ||
        memcmp(oid.p, kRsaEncryptionOid, oid.size) != 0)
        return false;
    if (algorithm.size != 0) {
        Der none;
        if (!Take(&algorithm, 0x05, &none) || none.size != 0 || algorithm.size != 0) return false;
    }
    if (!Take(&info, 0x03, &bits) || bits.size < 1 || bits.p[0] != 0) return false;
    Der body{bits.p + 1, bits.size - 1};
    if (!Take(&body, 0x30, &rsa)) return false;
    if (!TakeUnsigned(&rsa, key->n, &key->nLength)) return false;
    if (!TakeUnsigned(&rsa, key->e, &key->eLength)) return false;
    // An even modulus is no RSA key; BearSSL's engine refuses it at every use.
    return (key->n[key->nLength - 1] & 1) != 0;
}

struct DerSink {
    uint8_t bytes[kMaxDerSize];
    size_t length;
    bool overflow;
};

void Collect(void* context, const void* data, size_t length) {
    DerSink* sink = static_cast<DerSink*>(context);
    if (length > sizeof sink->bytes - sink->length) {
        sink->overflow = true;
        return;
    }
    memcpy(sink->bytes + sink->length, data, length);
    sink->length += length;
}

// The contents of the first "PUBLIC KEY" object; objects of other names are skipped.
bool DecodePublicKeyPem(const char* pem, DerSink* sink) {
    br_pem_decoder_context decoder;
    br_pem_decoder_init(&decoder);
    const char* at = pem;
    size_t left = strlen(pem);
    bool inKey = false;
    // A final line end lets the decoder see an END line that the text does not close.
    bool fedEnd = false;
    while (left > 0 || !fedEnd) {
        if (left > 0 && *at == '\r') {
            // BearSSL reads LF line ends only; OpenSSL takes CR LF as well.
            at++;
            left--;
            continue;
        }
        if (left > 0) {
            const char* cr = static_cast<const char*>(memchr(at, '\r', left));
            const size_t used = br_pem_decoder_push(&decoder, at, cr ? cr - at : left);
            at += used;
            left -= used;
        } else {
            br_pem_decoder_push(&decoder, "\n", 1);
            fedEnd = true;
        }
        switch (br_pem_decoder_event(&decoder)) {
            case BR_PEM_BEGIN_OBJ:
                inKey = strcmp(br_pem_decoder_name(&decoder), "PUBLIC KEY") == 0;
                sink->length = 0;
                sink->overflow = false;
                br_pem_decoder_setdest(&decoder, inKey ? Collect : nullptr, sink);
                break;
            case BR_PEM_END_OBJ:
                if (inKey) return !sink->overflow;
                break;
            case BR_PEM_ERROR: return false;
            default: break;
        }
    }
    return false;
}

// The kernel's random source: getrandom(), or /dev/urandom where the kernel predates it.
bool SystemRandom(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(out + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == ENOSYS) {
            break;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    if (got == size) return true;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (got < size) {
        const ssize_t n = read(fd, out + got, size - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            break;
        }
    }
    close(fd);
    return got == size;
}

// The padding's random bytes: HMAC-DRBG, seeded from the kernel and reseeded now and then.
// No seed, no bytes: the field is not encrypted with a predictable pad.
br_hmac_drbg_context gDrbg;
bool gSeeded = false;
unsigned gDrawsSinceSeed = 0;

bool RandomBytes(uint8_t* out, size_t size) {
    if (!gSeeded || gDrawsSinceSeed >= kReseedAfter) {
        uint8_t seed[32];
        if (!SystemRandom(seed, sizeof seed)) return false;
        if (gSeeded) {
            br_hmac_drbg_update(&gDrbg, seed, sizeof seed);
        } else {
            br_hmac_drbg_init(&gDrbg, &br_sha256_vtable, seed, sizeof seed);
        }
        memset(seed, 0, sizeof seed);
        gSeeded = true;
        gDrawsSinceSeed = 0;
    }
    br_hmac_drbg_generate(&gDrbg, out, size);
    gDrawsSinceSeed++;
    return true;
}

// DER length of `length` bytes of contents, at `out`; returns the bytes written.
size_t PutLength(uint8_t* out, size_t length) {
    if (length < 0x80) {
        out[0] = static_cast<uint8_t>(length);
        return 1;
    }
    if (length < 0x100) {
        out[0] = 0x81;
        out[1] = static_cast<uint8_t>(length);
        return 2;
    }
    out[0] = 0x82;
    out[1] = static_cast<uint8_t>(length >> 8);
    out[2] = static_cast<uint8_t>(length);
    return 3;
}

size_t LengthSize(size_t length) { return length < 0x80 ? 1 : length < 0x100 ? 2 : 3; }

size_t PutElement(uint8_t* out, uint8_t tag, size_t length) {
    out[0] = tag;
    return 1 + PutLength(out + 1, length);
}

size_t IntegerSize(const uint8_t* value, size_t length) {
    return length + ((value[0] & 0x80) ? 1 : 0);
}

size_t PutInteger(uint8_t* out, const uint8_t* value, size_t length) {
    const size_t contents = IntegerSize(value, length);
    size_t at = PutElement(out, 0x02, contents);
    if (contents > length) out[at++] = 0;
    memcpy(out + at, value, length);
    return at + length;
}

}  // namespace

FieldKey* ReadFieldKey(const char* pem) {
    DerSink sink{};
    if (!DecodePublicKeyPem(pem, &sink)) return nullptr;
    FieldKey* key = new FieldKey{};
    if (!ParsePublicKeyInfo(sink.bytes, sink.length, key)) {
        delete key;
        return nullptr;
    }
    return key;
}

void FreeFieldKey(FieldKey* key) { delete key; }

int FieldKeyBytes(const FieldKey* key) { return static_cast<int>(key->nLength); }

int FieldKeyBits(const FieldKey* key) {
    int bits = static_cast<int>(key->nLength) * 8;
    for (uint8_t top = key->n[0]; (top & 0x80) == 0; top <<= 1)
        bits--;
    return bits;
}

bool EncryptWithFieldKey(const FieldKey* key, const uint8_t* text, size_t length,
                         uint8_t* destination) {
    const size_t k = key->nLength;
    if (k < kPaddingOverhead || length > k - kPaddingOverhead) return false;
    const size_t padding = k - 3 - length;
    uint8_t* block = destination;
    block[0] = 0x00;
    block[1] = 0x02;
    if (!RandomBytes(block + 2, padding)) return false;
    for (size_t i = 2; i < 2 + padding; i++) {
        while (block[i] == 0) {
            if (!RandomBytes(block + i, 1)) return false;
        }
    }
    block[2 + padding] = 0x00;
    memcpy(block + 3 + padding, text, length);
    br_rsa_public_key pk{const_cast<uint8_t*>(key->n), key->nLength, const_cast<uint8_t*>(key->e),
                         key->eLength};
    return br_rsa_public_get_default()(block, k, &pk) == 1;
}

bool FieldKeyFingerprint(const FieldKey* key, uint8_t digest[kFingerprintSize]) {
    // The canonical encoding OpenSSL writes, whatever form the PEM had: the same fingerprint.
    static const uint8_t kAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                         0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    const size_t nSize = IntegerSize(key->n, key->nLength);
    const size_t eSize = IntegerSize(key->e, key->eLength);
    const size_t rsaBody = 1 + LengthSize(nSize) + nSize + 1 + LengthSize(eSize) + eSize;
    const size_t bitsBody = 1 + 1 + LengthSize(rsaBody) + rsaBody;
    const size_t infoBody = sizeof kAlgorithm + 1 + LengthSize(bitsBody) + bitsBody;
    uint8_t der[2 * kMaxModulusBytes + 64];
    size_t at = PutElement(der, 0x30, infoBody);
    memcpy(der + at, kAlgorithm, sizeof kAlgorithm);
    at += sizeof kAlgorithm;
    at += PutElement(der + at, 0x03, bitsBody);
    der[at++] = 0x00;
    at += PutElement(der + at, 0x30, rsaBody);
    at += PutInteger(der + at, key->n, key->nLength);
    at += PutInteger(der + at, key->e, key->eLength);
    br_sha256_context sha;
    br_sha256_init(&sha);
    br_sha256_update(&sha, der, at);
    br_sha256_out(&sha, digest);
    return true;
}
