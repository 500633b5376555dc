// The router's configuration, a UCI file (/etc/config/vornaagent), as text: `config TYPE 'NAME'`
// sections of `option NAME 'VALUE'` and `list NAME 'VALUE'` lines, with UCI's quoting. Read
// strictly and within bounds; the front end reads the file and the key it names.
#pragma once

#include <string>
#include <vector>

#include "settings/site_file.h"

// Bounds: a longer line, or more sections or options, is an error, never read in part.
const size_t kMaxUciLine = 1024;
const size_t kMaxUciSections = 64;
const size_t kMaxUciOptions = 64;

struct UciOption {
    int line;
    bool list;  // a `list` line: one of several values
    std::string name;
    std::string value;
};

struct UciSection {
    int line;
    std::string type;
    std::string name;  // empty: an anonymous section
    std::vector<UciOption> options;
};

// Splits `text` (of the file `path`, for messages) into its sections; false with `error` as
// "PATH:LINE: reason" on anything UCI would not read, or past the bounds.
bool ParseUciText(const std::string& path, const std::string& text,
                  std::vector<UciSection>* sections, std::string* error);

// One account as the router runs it: the `account` section's values over the `agent` section
// 'main', over the block built into the program (empty fields).
struct UciAccount {
    bool enabled = true;
    std::string login;
    std::string password;  // empty: none given, the agent waits for `login`
    std::string device;    // empty: any
    SiteFile site;
};

// Reads the account `name` of a parsed file; false with `error` ("PATH:LINE: reason", or
// "PATH: reason" for a missing section) on an unknown or bad value.
bool ReadUciAccount(const std::string& path, const std::string& text, const std::string& name,
                    UciAccount* account, std::string* error);
