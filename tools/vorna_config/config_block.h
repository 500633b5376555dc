// The agent's configuration block inside its executable: finding it, reading and rewriting it.
// Pure functions on a byte image, so a fuzzer can feed them any file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Offsets of the three value fields in the image.
struct ConfigLayout {
    size_t address = 0;
    size_t port = 0;
    size_t key = 0;
};

// Each of the four markers must occur exactly once, in block order and at the block's
// distances from each other. On failure `error` names the marker and what is wrong.
bool FindConfigBlock(const uint8_t* data, size_t size, ConfigLayout* layout, std::string* error);

struct ConfigFields {
    std::string address;
    std::string port;
    std::string keyPem;
};

// Each field's text up to its first NUL (or its full width when it has none).
ConfigFields ReadConfigFields(const uint8_t* data, const ConfigLayout& layout);

// The longest texts the fields hold; each field keeps at least one NUL after its text.
size_t MaxAddressChars();
size_t MaxPortChars();
size_t MaxKeyChars();

// Checks a port text (1-65535, decimal digits) and gives its canonical form.
bool CheckPort(const std::string& text, std::string* canonical, std::string* error);
bool CheckAddress(const std::string& text, std::string* error);

struct StampChanges {
    std::optional<std::string> address;
    std::optional<std::string> port;
    std::optional<std::string> keyPem;  // already in the block's form
};

// Validates the changes, writes them into `image` NUL-padded within their widths, and reads
// them back. On failure `image` is unchanged.
bool StampConfig(std::string* image, const StampChanges& changes, std::string* error);
