// What every command-line tool of the project shares: the usage-error exit code, the help and
// version words, and the version line.
#pragma once

#include <cstdio>
#include <string>

#include "vorna_version.h"

// A word the tool does not understand, a missing value: the same code in every tool.
const int kExitUsage = 1;

inline bool IsHelpWord(const std::string& word) { return word == "--help" || word == "-h"; }
inline bool IsVersionWord(const std::string& word) { return word == "--version"; }

// "vorna_config 2.5.3.702", on standard output.
inline void PrintToolVersion(const char* tool) { printf("%s %s\n", tool, VORNA_VERSION_TEXT); }
