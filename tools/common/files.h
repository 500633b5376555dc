// Whole-file reads and all-or-nothing writes, in plain C++ so the tools also build for Windows.
#pragma once

#include <functional>
#include <string>

// Reads the file as bytes; refuses files above maxBytes so a wrong path cannot eat memory.
bool ReadWholeFile(const std::string& path, std::string* content, std::string* error,
                   size_t maxBytes = 256u << 20);

// Checks a written temporary file before it takes the final name.
using FileCheck = std::function<bool(const std::string& temporaryPath, std::string* error)>;

// Writes a temporary file of its own (created exclusively, never through a link) beside `path`,
// runs `check` on it, then renames it over `path`: on
// any failure `path` is left as it was and the temporary file is removed. `permissionsFrom`,
// when given, names a file whose permission bits the result takes.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error,
                         const std::string& permissionsFrom = "", const FileCheck& check = {});
