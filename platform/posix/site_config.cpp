#include "platform/posix/site_config.h"

#include "core/agent_state.h"
#include "platform/posix/conf_files.h"
#include "settings/site_file.h"

namespace {

const size_t kMaxConfigFile = 64 * 1024;

}  // namespace

bool LoadSiteConfig(const std::string& path, std::string* error) {
    std::string text, why, key;
    if (!PosixReadSmallFile(path, kMaxConfigFile, &text, &why)) {
        *error = path + ": cannot be read (" + why + ")";
        return false;
    }
    SiteFile site;
    if (!ParseSiteFile(path, text, &site, error)) return false;
    why = "empty or not text";
    if (!site.keyPath.empty() && (!PosixReadSmallFile(site.keyPath, kKeySize - 1, &key, &why) ||
                                  key.empty() || key.find('\0') != std::string::npos)) {
        *error = path + ":" + std::to_string(site.keyLine) + ": the key file " + site.keyPath +
                 " cannot be used (" + why + "; at most " + std::to_string(kKeySize - 1) +
                 " bytes of PEM text)";
        return false;
    }
    // Only a whole valid file changes anything.
    ApplySiteFile(site, key);
    return true;
}
