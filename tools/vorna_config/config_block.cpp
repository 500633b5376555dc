#include "tools/vorna_config/config_block.h"

#include <cstring>

#include "core/agent_state.h"
#include "core/ipv4.h"

namespace {

struct Marker {
    const char* text;  // the NUL that ends it is part of the marker
    size_t size;
};

const Marker kMarkers[4] = {
    {"vorna_zep_addr", kAddrMarkerSize},
    {"vorna_zep_port", kPortMarkerSize},
    {"vorna_zep_key", kKeyMarkerSize},
    {"vorna_zep_JUSTUSR", kEndMarkerSize},
};

// Distance from each marker to the next one: the marker and its value field.
const size_t kSteps[3] = {
    kAddrMarkerSize + kAddressSize,
    kPortMarkerSize + kPortSize,
    kKeyMarkerSize + kKeySize,
};

// Where the marker occurs: 0 times, once (at *at) or more than once.
int CountMarker(const uint8_t* data, size_t size, const Marker& marker, size_t* at) {
    int count = 0;
    if (size < marker.size) return 0;
    const uint8_t first = static_cast<uint8_t>(marker.text[0]);
    for (size_t i = 0; i + marker.size <= size; ++i) {
        const void* hit = memchr(data + i, first, size - marker.size + 1 - i);
        if (!hit) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (memcmp(data + i, marker.text, marker.size) == 0) {
            if (count++ == 0) *at = i;
            if (count > 1) break;
        }
    }
    return count;
}

std::string FieldText(const uint8_t* data, size_t offset, size_t width) {
    const char* start = reinterpret_cast<const char*>(data + offset);
    return std::string(start, strnlen(start, width));
}

void WriteField(std::string* image, size_t offset, size_t width, const std::string& text) {
    memset(&(*image)[offset], 0, width);
    memcpy(&(*image)[offset], text.data(), text.size());
}

}  // namespace

size_t MaxAddressChars() { return kAddressSize - 1; }
size_t MaxPortChars() { return kPortSize - 1; }
size_t MaxKeyChars() { return kKeySize - 1; }

bool FindConfigBlock(const uint8_t* data, size_t size, ConfigLayout* layout, std::string* error) {
    size_t at[4] = {};
    for (int i = 0; i < 4; ++i) {
        const int count = CountMarker(data, size, kMarkers[i], &at[i]);
        if (count == 0) {
            *error = std::string("marker \"") + kMarkers[i].text + "\" not found";
            return false;
        }
        if (count > 1) {
            *error = std::string("marker \"") + kMarkers[i].text + "\" found more than once";
            return false;
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (at[i + 1] != at[i] + kSteps[i]) {
            *error = std::string("marker \"") + kMarkers[i + 1].text + "\" is not " +
                     std::to_string(kSteps[i]) + " bytes after \"" + kMarkers[i].text +
                     "\": not a configuration block";
            return false;
        }
    }
    layout->address = at[0] + kAddrMarkerSize;
    layout->port = at[1] + kPortMarkerSize;
    layout->key = at[2] + kKeyMarkerSize;
    return true;
}

ConfigFields ReadConfigFields(const uint8_t* data, const ConfigLayout& layout) {
    ConfigFields fields;
    fields.address = FieldText(data, layout.address, kAddressSize);
    fields.port = FieldText(data, layout.port, kPortSize);
    fields.keyPem = FieldText(data, layout.key, kKeySize);
    return fields;
}

bool CheckAddress(const std::string& text, std::string* error) {
    if (text.size() > MaxAddressChars()) {
        *error = "the address is longer than " + std::to_string(MaxAddressChars()) + " characters";
        return false;
    }
    if (!IsDottedIpv4(text)) {
        *error = "\"" + text +
                 "\" is not a dotted IPv4 address (four decimal numbers 0-255, "
                 "no leading zeros)";
        return false;
    }
    if (!IsServerAddress(text)) {
        *error = "\"" + text + "\" cannot be a server's address";
        return false;
    }
    return true;
}

bool CheckPort(const std::string& text, std::string* canonical, std::string* error) {
    long long port = 0;
    if (!ParseDecimal(text, 1, 65535, &port)) {
        *error = "\"" + text + "\" is not a port number from 1 to 65535";
        return false;
    }
    *canonical = std::to_string(port);
    return true;
}

bool StampConfig(std::string* image, const StampChanges& changes, std::string* error) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(image->data());
    ConfigLayout layout;
    if (!FindConfigBlock(data, image->size(), &layout, error)) return false;
    ConfigFields wanted = ReadConfigFields(data, layout);
    if (changes.address) wanted.address = *changes.address;
    if (changes.port) wanted.port = *changes.port;
    // Unchanged fields are checked too: the result must be a block the agent can use.
    std::string canonical;
    if (!CheckAddress(wanted.address, error)) return false;
    if (!CheckPort(wanted.port, &canonical, error)) return false;
    wanted.port = canonical;
    if (changes.keyPem) {
        if (changes.keyPem->size() > MaxKeyChars()) {
            *error = "the key's PEM form has " + std::to_string(changes.keyPem->size()) +
                     " characters; the block holds " + std::to_string(MaxKeyChars());
            return false;
        }
        if (changes.keyPem->find('\0') != std::string::npos) {
            *error = "the key text contains a NUL byte";
            return false;
        }
        wanted.keyPem = *changes.keyPem;
    }
    const struct {
        const char* name;
        const std::string& text;
        size_t limit;
    } checks[] = {{"address", wanted.address, MaxAddressChars()},
                  {"port", wanted.port, MaxPortChars()},
                  {"key", wanted.keyPem, MaxKeyChars()}};
    for (const auto& check : checks) {
        if (check.text.size() > check.limit) {
            *error = std::string("the ") + check.name +
                     " field has no terminating NUL; give it a new value";
            return false;
        }
    }
    std::string result = *image;
    WriteField(&result, layout.address, kAddressSize, wanted.address);
    WriteField(&result, layout.port, kPortSize, wanted.port);
    WriteField(&result, layout.key, kKeySize, wanted.keyPem);

    ConfigLayout check;
    const uint8_t* written = reinterpret_cast<const uint8_t*>(result.data());
    if (!FindConfigBlock(written, result.size(), &check, error)) {
        *error = "after writing: " + *error;
        return false;
    }
    const ConfigFields back = ReadConfigFields(written, check);
    if (back.address != wanted.address || back.port != wanted.port ||
        back.keyPem != wanted.keyPem) {
        *error = "the fields read back differ from those written";
        return false;
    }
    image->swap(result);
    return true;
}
