#include "platform/posix/site_config.h"

#include <arpa/inet.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/agent_state.h"

namespace {

const size_t kMaxConfigFile = 64 * 1024;

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Plain reads rather than streams: the agent links the C++ runtime statically, and streams
// would bring in its whole locale machinery (resident memory).
bool ReadSmallFile(const std::string& path, size_t limit, std::string* text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string all;
    char chunk[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (all.size() + static_cast<size_t>(n) > limit) {
            ok = false;
            break;
        }
        all.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    if (ok) *text = all;
    return ok;
}

bool ValidAddress(const std::string& value) {
    in_addr parsed;
    return value.size() < kAddressSize && inet_pton(AF_INET, value.c_str(), &parsed) == 1;
}

bool ValidPort(const std::string& value) {
    if (value.empty() || value.size() > 5) return false;
    for (char c : value)
        if (c < '0' || c > '9') return false;
    int port = std::stoi(value);
    return port >= 1 && port <= 65535;
}

}  // namespace

bool LoadSiteConfig(const std::string& path, std::string* error) {
    std::string text;
    if (!ReadSmallFile(path, kMaxConfigFile, &text)) {
        *error = path + ": cannot be read (missing, unreadable or larger than 64 KiB)";
        return false;
    }
    std::string address, port, key;
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        number++;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        size_t equals = line.find('=');
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            *error = where + "expected name=value";
            return false;
        }
        std::string name = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (name == "address") {
            if (!ValidAddress(value)) {
                *error = where + "address must be A.B.C.D";
                return false;
            }
            address = value;
        } else if (name == "port") {
            if (!ValidPort(value)) {
                *error = where + "port must be 1 to 65535";
                return false;
            }
            port = value;
        } else if (name == "key") {
            if (!ReadSmallFile(value, kKeySize - 1, &key) || key.empty() ||
                key.find('\0') != std::string::npos) {
                *error = where;
                *error += "the key file ";
                *error += value;
                *error += " cannot be read or is larger than ";
                *error += std::to_string(kKeySize - 1);
                *error += " bytes";
                return false;
            }
        } else {
            *error = where;
            *error += "unknown name \"";
            *error += name;
            *error += "\" (address, port, key)";
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
