// The few PE header fields a stamp must keep right: the checksum and the signature directory.
// Pure functions on a byte image; an image that is not a PE file is left to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PeHeaders {
    size_t checksum = 0;       // offset of the optional header's CheckSum field
    size_t securityEntry = 0;  // offset of the certificate table's directory entry, 0 if none
    uint32_t signatureAt = 0;  // the certificate table: a file offset, not an address
    uint32_t signatureSize = 0;
};

// False when the image has no MZ/PE headers (a synthetic or non-Windows file).
bool FindPeHeaders(const std::string& image, PeHeaders* headers);

inline bool IsSigned(const PeHeaders& headers) { return headers.signatureSize != 0; }

// Removes the certificate table at the end of the image and its directory entry; false (image
// unchanged) when the table is not the image's tail, as every signer writes it.
bool StripSignature(std::string* image, const PeHeaders& headers, std::string* error);

// The checksum the loader and signature verifiers compute: 16-bit one's-complement sum of the
// image with the CheckSum field taken as zero, plus the file length.
uint32_t ComputePeChecksum(const std::string& image, size_t checksumOffset);

void WritePeChecksum(std::string* image, size_t checksumOffset);
