// The small files the agent reads (the site file, the machine policy, the key, the settings):
// regular files only, never waiting on a FIFO or a device, bounded in size; and the one
// "name=value" line format the site file and the policy share.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Reads the whole regular file at `path`, at most `limit` bytes. False with `why` set when it is
// missing, unreadable, not a regular file (a FIFO, a device, a folder) or larger than `limit`;
// `missing` (if given) tells the first case apart.
bool PosixReadSmallFile(const std::string& path, size_t limit, std::string* text, std::string* why,
                        bool* missing = nullptr);

// A line's longest length; a longer line is an error, never read as two.
const size_t kMaxSettingLine = 1024;

struct PosixSetting {
    int line;
    std::string name;
    std::string value;
};
// Splits `text` into "name=value" lines: `#` starts a comment, blanks around a name or a value
// and empty lines do not count. False with `error` = "PATH:LINE: reason" on a line without '='
// or longer than kMaxSettingLine.
bool PosixParseSettings(const std::string& path, const std::string& text,
                        std::vector<PosixSetting>* settings, std::string* error);

// "PATH:LINE: " for a message about one setting.
std::string PosixSettingWhere(const std::string& path, const PosixSetting& setting);
