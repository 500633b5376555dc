// The site's configuration from a file instead of the block inside the binary: lines
// `address=A.B.C.D`, `port=N`, `key=/path/to/server-public.pem`; `#` starts a comment.
#pragma once

#include <string>

const char kSiteConfigPath[] = "/etc/vornaagent/site.conf";

// Reads `path` and overwrites the fields it names in the built-in block. False, with the reason
// in `error`, for an unreadable file or any bad line; the block is then left as it was.
bool LoadSiteConfig(const std::string& path, std::string* error);
