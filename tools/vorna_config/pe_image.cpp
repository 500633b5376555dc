#include "tools/vorna_config/pe_image.h"

namespace {

const uint16_t kPe32Magic = 0x10b;
const uint16_t kPe32PlusMagic = 0x20b;
const uint32_t kSecurityDirectory = 4;

uint32_t Read16(const std::string& image, size_t at) {
    return static_cast<uint8_t>(image[at]) | static_cast<uint8_t>(image[at + 1]) << 8;
}

uint32_t Read32(const std::string& image, size_t at) {
    return Read16(image, at) | Read16(image, at + 2) << 16;
}

void Write32(std::string* image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        (*image)[at + i] = static_cast<char>(value >> (8 * i) & 0xff);
}

}  // namespace

bool FindPeHeaders(const std::string& image, PeHeaders* headers) {
    if (image.size() < 0x40 || image.compare(0, 2, "MZ") != 0) return false;
    const size_t pe = Read32(image, 0x3c);
    const size_t optional = pe + 4 + 20;
    // The checksum sum runs over 16-bit words: an odd header offset is no image we rewrite.
    if (pe % 2 != 0 || pe > image.size() || image.size() - pe < 4 + 20 + 2) return false;
    if (image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
    const size_t optionalSize = Read16(image, pe + 4 + 16);
    if (image.size() - optional < optionalSize) return false;
    const uint32_t magic = Read16(image, optional);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) return false;
    const size_t countAt = optional + (magic == kPe32Magic ? 92 : 108);
    if (optionalSize < countAt + 4 - optional) return false;
    PeHeaders found;
    found.checksum = optional + 64;
    const uint32_t directories = Read32(image, countAt);
    const size_t entry = countAt + 4 + kSecurityDirectory * 8;
    if (directories > kSecurityDirectory && entry + 8 <= optional + optionalSize) {
        found.securityEntry = entry;
        found.signatureAt = Read32(image, entry);
        found.signatureSize = Read32(image, entry + 4);
    }
    *headers = found;
    return true;
}

bool StripSignature(std::string* image, const PeHeaders& headers, std::string* error) {
    const uint64_t end = uint64_t{headers.signatureAt} + headers.signatureSize;
    if (!IsSigned(headers) || end != image->size()) {
        *error = "the signature is not at the end of the file; cannot strip it";
        return false;
    }
    image->resize(headers.signatureAt);
    Write32(image, headers.securityEntry, 0);
    Write32(image, headers.securityEntry + 4, 0);
    return true;
}

uint32_t ComputePeChecksum(const std::string& image, size_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t at = 0; at < image.size(); at += 2) {
        if (at == checksumOffset || at == checksumOffset + 2) continue;
        uint32_t word = static_cast<uint8_t>(image[at]);
        if (at + 1 < image.size()) word |= static_cast<uint8_t>(image[at + 1]) << 8;
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

void WritePeChecksum(std::string* image, size_t checksumOffset) {
    Write32(image, checksumOffset, ComputePeChecksum(*image, checksumOffset));
}
