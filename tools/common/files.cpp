#include "tools/common/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error,
                   size_t maxBytes) {
    std::error_code code;
    if (fs::is_directory(path, code)) {
        *error = path + ": is a directory";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open for reading";
        return false;
    }
    std::string data;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        data.append(chunk, static_cast<size_t>(in.gcount()));
        if (data.size() > maxBytes) {
            *error = path + ": larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        *error = path + ": read error";
        return false;
    }
    *content = std::move(data);
    return true;
}

namespace {

// Creates a new file for writing, failing if anything (a file, a link) already has the name.
FILE* CreateExclusive(const fs::path& path) {
#ifdef _WIN32
    const int fd =
        _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
#endif
    if (fd < 0) return nullptr;
#ifdef _WIN32
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
#else
    FILE* file = fdopen(fd, "wb");
    if (!file) close(fd);
#endif
    return file;
}

// A name of our own in the target's folder; someone may have placed anything at a fixed name.
FILE* CreateTemporaryBeside(const fs::path& target, fs::path* temporary) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
        fs::path candidate = target;
        candidate += std::string(".partial") + suffix;
        FILE* file = CreateExclusive(candidate);
        if (file) {
            *temporary = candidate;
            return file;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error,
                         const std::string& permissionsFrom, const FileCheck& check) {
    const fs::path target(path);
    fs::path temporary;
    std::error_code code;
    FILE* out = CreateTemporaryBeside(target, &temporary);
    if (!out) {
        *error = path + ".partial.*: cannot create a temporary file (" + strerror(errno) + ")";
        return false;
    }
    const bool written = fwrite(content.data(), 1, content.size(), out) == content.size();
    if (fclose(out) != 0 || !written) {
        fs::remove(temporary, code);
        *error = temporary.string() + ": write error";
        return false;
    }
    if (!permissionsFrom.empty()) {
        const fs::perms bits = fs::status(permissionsFrom, code).permissions();
        if (!code) fs::permissions(temporary, bits, code);
    }
    if (check && !check(temporary.string(), error)) {
        fs::remove(temporary, code);
        return false;
    }
    fs::rename(temporary, target, code);
    if (code) {
        *error = path + ": cannot replace (" + code.message() + ")";
        fs::remove(temporary, code);
        return false;
    }
    return true;
}
