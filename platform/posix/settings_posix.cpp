// The per-user settings file (its text is settings/settings_file's) under the user's config
// folder, mode 0600; each save writes a temporary file and renames it over the old one, so that
// a crash never leaves half a file. An unusable file is reported, kept aside and counts as no
// settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/conf_files.h"
#include "platform/posix/posix_internal.h"
#include "settings/settings_file.h"

namespace {

const size_t kMaxFileSize = 64 * 1024;

// The file's values; `damaged` when it is there but unusable (reported once here).
bool Load(const std::string& path, StoredSettings* settings, bool* damaged) {
    std::string text, why;
    bool missing = false;
    *damaged = false;
    if (!PosixReadSmallFile(path, kMaxFileSize, &text, &why, &missing, false)) {
        *damaged = !missing;
    } else if (!ParseSettingsText(text, settings)) {
        *damaged = true;
        why = "damaged or not a settings file";
    }
    if (*damaged)
        PosixReportError("VornaAgent: settings in " + path + " not used (" + why +
                         "); the agent runs without stored settings");
    return !*damaged;
}

bool MakeFolders(const std::string& path) {
    // Every folder of the path below the home exists or is made private.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool WriteWhole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

}  // namespace

namespace {
bool gInMemory = false;
StoredSettings gMemory;
}  // namespace

void PosixKeepSettingsInMemory() {
    gInMemory = true;
    memset(&gMemory, 0, sizeof gMemory);
}

std::string PosixSettingsPath() { return PosixConfigHome() + "/vornaagent/settings"; }

bool PlatLoadSettings(StoredSettings* settings) {
    if (gInMemory) {
        *settings = gMemory;
        return true;
    }
    bool damaged = false;
    return Load(PosixSettingsPath(), settings, &damaged);
}

bool PlatSaveSettings(const StoredSettings& change) {
    if (gInMemory) {
        ApplySettingsChange(change, &gMemory);
        return true;
    }
    std::string path = PosixSettingsPath();
    static StoredSettings stored;
    memset(&stored, 0, sizeof stored);
    bool damaged = false;
    Load(path, &stored, &damaged);
    // Unchanged settings are not written again.
    if (!ApplySettingsChange(change, &stored) && !damaged) return true;
    if (!MakeFolders(path)) return false;
    // Whatever was there is kept for a look, never silently overwritten.
    std::string aside = path + ".damaged";
    if (damaged && rename(path.c_str(), aside.c_str()) == 0)
        PosixReportError("VornaAgent: the unusable settings file was kept as " + aside);
    return WriteWhole(path, SettingsText(stored));
}
