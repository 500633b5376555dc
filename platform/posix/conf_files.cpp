#include "platform/posix/conf_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

// Plain reads rather than streams: the agent links the C++ runtime statically, and streams
// would bring in its whole locale machinery (resident memory).
bool PosixReadSmallFile(const std::string& path, size_t limit, std::string* text, std::string* why,
                        bool* missing) {
    if (missing) *missing = false;
    // Without O_NONBLOCK the open of a FIFO waits for a writer: the start would hang.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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

bool PosixParseSettings(const std::string& path, const std::string& text,
                        std::vector<PosixSetting>* settings, std::string* error) {
    settings->clear();
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        number++;
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (line.size() > kMaxSettingLine) {
            *error = where + "line longer than " + std::to_string(kMaxSettingLine) + " characters";
            return false;
        }
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = Trimmed(line);
        if (line.empty()) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            *error = where + "expected name=value";
            return false;
        }
        settings->push_back(
            {number, Trimmed(line.substr(0, equals)), Trimmed(line.substr(equals + 1))});
    }
    return true;
}

std::string PosixSettingWhere(const std::string& path, const PosixSetting& setting) {
    return path + ":" + std::to_string(setting.line) + ": ";
}
