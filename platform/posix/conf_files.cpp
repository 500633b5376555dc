#include "platform/posix/conf_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/agent_state.h"
#include "settings/site_file.h"

// Plain reads rather than streams: the agent links the C++ runtime statically, and streams
// would bring in its whole locale machinery (resident memory).
bool PosixReadSmallFile(const std::string& path, size_t limit, std::string* text, std::string* why,
                        bool* missing, bool follow) {
    if (missing) *missing = false;
    // Without O_NONBLOCK the open of a FIFO waits for a writer: the start would hang.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    int fd = open(path.c_str(), flags);
    if (fd < 0) {
        if (missing) *missing = errno == ENOENT;
        *why = strerror(errno);
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *why = "not a regular file";
        return false;
    }
    std::string all;
    char chunk[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = strerror(errno);
            ok = false;
        }
        if (n <= 0) break;
        if (all.size() + static_cast<size_t>(n) > limit) {
            *why = "larger than " + std::to_string(limit) + " bytes";
            ok = false;
            break;
        }
        all.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    if (ok) *text = all;
    return ok;
}

namespace {

const size_t kMaxConfigFile = 64 * 1024;

}  // namespace

bool ApplySiteConfig(const std::string& path, const SiteFile& site, std::string* error) {
    std::string key, why = "empty or not text";
    if (!site.keyPath.empty() && (!PosixReadSmallFile(site.keyPath, kKeySize - 1, &key, &why) ||
                                  key.empty() || key.find('\0') != std::string::npos)) {
        *error = path + ":" + std::to_string(site.keyLine) + ": the key file " + site.keyPath +
                 " cannot be used (" + why + "; at most " + std::to_string(kKeySize - 1) +
                 " bytes of PEM text)";
        return false;
    }
    // Only a whole valid file changes anything.
    ApplySiteFile(site, key);
    return true;
}

bool LoadSiteConfig(const std::string& path, std::string* error) {
    std::string text, why;
    if (!PosixReadSmallFile(path, kMaxConfigFile, &text, &why)) {
        *error = path + ": cannot be read (" + why + ")";
        return false;
    }
    SiteFile site;
    return ParseSiteFile(path, text, &site, error) && ApplySiteConfig(path, site, error);
}
