#include "platform/posix/site_config.h"

#include <cstring>
#include <vector>

#include "core/agent_state.h"
#include "platform/posix/conf_files.h"
#include "core/ipv4.h"

namespace {

const size_t kMaxConfigFile = 64 * 1024;

bool ValidPort(const std::string& value) {
    long long port = 0;
    return ParseDecimal(value, 1, 65535, &port);
}

}  // namespace

bool LoadSiteConfig(const std::string& path, std::string* error) {
    std::string text, why;
    if (!PosixReadSmallFile(path, kMaxConfigFile, &text, &why)) {
        *error = path + ": cannot be read (" + why + ")";
        return false;
    }
    std::vector<PosixSetting> settings;
    if (!PosixParseSettings(path, text, &settings, error)) return false;
    std::string address, port, key;
    for (const PosixSetting& setting : settings) {
        std::string where = PosixSettingWhere(path, setting);
        const std::string& value = setting.value;
        if (setting.name == "address") {
            if (value.size() >= kAddressSize || !IsServerAddress(value)) {
                *error = where + "address must be A.B.C.D (not 0.0.0.0 or 255.255.255.255)";
                return false;
            }
            address = value;
        } else if (setting.name == "port") {
            if (!ValidPort(value)) {
                *error = where + "port must be 1 to 65535";
                return false;
            }
            port = value;
        } else if (setting.name == "key") {
            std::string keyWhy = "empty or not text";
            if (!PosixReadSmallFile(value, kKeySize - 1, &key, &keyWhy) || key.empty() ||
                key.find('\0') != std::string::npos) {
                *error = where + "the key file " + value + " cannot be used (" + keyWhy +
                         "; at most " + std::to_string(kKeySize - 1) + " bytes of PEM text)";
                return false;
            }
        } else {
            *error = where + "unknown name \"" + setting.name + "\" (address, port, key)";
            return false;
        }
    }
    // Only a whole valid file changes anything.
    if (!address.empty()) {
        memset(gConfig.serverAddress, 0, sizeof gConfig.serverAddress);
        memcpy(gConfig.serverAddress, address.data(), address.size());
    }
    if (!port.empty()) {
        memset(gConfig.serverPort, 0, sizeof gConfig.serverPort);
        memcpy(gConfig.serverPort, port.data(), port.size());
    }
    if (!key.empty()) {
        memset(gConfig.serverKeyPem, 0, sizeof gConfig.serverKeyPem);
        memcpy(gConfig.serverKeyPem, key.data(), key.size());
    }
    return true;
}
