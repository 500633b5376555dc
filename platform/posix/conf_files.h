// The small files the agent reads (the site file, the machine policy, the key, the settings):
// regular files only, never waiting on a FIFO or a device, bounded in size.
#pragma once

#include <cstddef>
#include <string>

// Reads the whole regular file at `path`, at most `limit` bytes. False with `why` set when it is
// missing, unreadable, not a regular file (a FIFO, a device, a folder) or larger than `limit`;
// `missing` (if given) tells the first case apart. `follow` false refuses a symbolic link at
// the name.
bool PosixReadSmallFile(const std::string& path, size_t limit, std::string* text, std::string* why,
                        bool* missing = nullptr, bool follow = true);

// The site's configuration from a file instead of the block inside the binary (its lines are
// settings/site_file's): `address=A.B.C.D`, `port=N`, `key=/path/to/server-public.pem`.
const char kSiteConfigPath[] = "/etc/vornaagent/site.conf";
// Reads `path` and the key file it names and overwrites the fields they give in the built-in
// block. False, with the reason in `error`, for an unreadable file or any bad line; the block is
// then left as it was.
bool LoadSiteConfig(const std::string& path, std::string* error);
struct SiteFile;
// Reads the key file a parsed site (of the file `path`, for messages) names and puts the site's
// fields into the block; false with `error` when the key cannot be used (nothing is changed).
bool ApplySiteConfig(const std::string& path, const SiteFile& site, std::string* error);
