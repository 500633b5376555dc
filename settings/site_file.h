// The agents' plain configuration files as text: "name=value" lines (`#` starts a comment,
// blanks around names and values do not count), read strictly. The site file names the server
// (address, port and key file) over the block built into the program; the policy file is the
// machine's policy. Files are read by the front end; what their lines mean is decided here.
#pragma once

#include <string>
#include <vector>

#include "core/account_view.h"

// A line's longest length; a longer line is an error, never read as two.
const size_t kMaxSettingLine = 1024;

struct NameValue {
    int line;
    std::string name;
    std::string value;
};
// Splits `text` (of the file `path`, for messages) into its lines; false with `error` as
// "PATH:LINE: reason" on a line without '=' or longer than kMaxSettingLine.
bool ParseNameValues(const std::string& path, const std::string& text,
                     std::vector<NameValue>* lines, std::string* error);

struct SiteFile {
    std::string address;  // empty: as built
    std::string port;
    std::string keyPath;
    int keyLine = 0;  // for a message about the key file
};
bool ParseSiteFile(const std::string& path, const std::string& text, SiteFile* site,
                   std::string* error);
// Puts the site's address and port, and the key's PEM text when it is not empty, into the
// block: the fields a whole valid file names, nothing else.
void ApplySiteFile(const SiteFile& site, const std::string& keyPem);

// The policy file's lines, each a policy of the agent's table (settings/policy.h) with a value of
// its kind: a flag 0 or 1, a number in its range, a path, a server's address. Anything else is an
// error: a machine's policy never fails open.
bool ParsePolicyFile(const std::string& path, const std::string& text,
                     std::vector<NameValue>* lines, std::string* error);
// A valid policy file's lines as the machine's values of the policies `names` (the last line of
// a name counts): a number as a DWORD, anything else as text; `where` names the file.
void PolicyRecordFromLines(const std::vector<NameValue>& lines, const char* where,
                           const char* const* names, int count, PlatPolicyRecord* record);
