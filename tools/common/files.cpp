#include "tools/common/files.h"

#include <filesystem>
#include <fstream>
#include <system_error>

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

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error,
                         const std::string& permissionsFrom, const FileCheck& check) {
    const fs::path target(path);
    fs::path temporary = target;
    temporary += ".partial";
    std::error_code code;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            *error = temporary.string() + ": cannot create";
            return false;
        }
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, code);
            *error = temporary.string() + ": write error";
            return false;
        }
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
