// The per-user settings: the store's values in a small text file under the user's config folder,
// mode 0600, "NAME TYPE HEX" a line after a header; each save writes a temporary file and renames
// it over the old one, so that a crash never leaves half a file. An unusable file is reported,
// kept aside and counts as no settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/settings_posix.h"

namespace {

const char kHeader[] = "vornaagent-settings 1";
const size_t kMaxFileSize = 64 * 1024;
const size_t kMaxValues = 32;
const size_t kMaxNameLength = 64;

struct Value {
    std::string name;
    PlatValueType type;
    std::string data;
};

const struct {
    PlatValueType type;
    const char* word;
} kTypeWords[] = {
    {kValueString, "string"},
    {kValueBinary, "binary"},
    {kValueDword, "dword"},
    {kValueNone, "none"},
};

const char* TypeWord(PlatValueType type) {
    for (const auto& t : kTypeWords)
        if (t.type == type) return t.word;
    return nullptr;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (char c : name)
        if (c <= ' ' || c > '~') return false;
    return true;
}

// One line: NAME TYPE HEX. False on anything else.
bool ParseLine(const std::string& line, Value* value) {
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) return false;
    value->name = line.substr(0, first);
    std::string word = line.substr(first + 1, second - first - 1);
    bool known = false;
    for (const auto& t : kTypeWords)
        if (word == t.word) known = (value->type = t.type, true);
    std::string hex = line.substr(second + 1);
    std::vector<unsigned char> bytes(hex.size() / 2 + 1);
    long size = HexDecode(hex.data(), hex.size(), bytes.data(), kStoredValueSize);
    if (!known || !ValidName(value->name) || size < 0) return false;
    value->data.assign(reinterpret_cast<char*>(bytes.data()), static_cast<size_t>(size));
    return value->type != kValueDword || value->data.size() == 4;
}

void Complain(const std::string& path, const std::string& why) {
    PosixReportError("VornaAgent: settings in " + path + " not used (" + why +
                     "); the agent runs without stored settings");
}

// The file's values; `damaged` when it was there but unusable.
std::vector<Value> Load(const std::string& path, bool* damaged) {
    *damaged = false;
    // Non-blocking: a FIFO put at the name must not hold the start until someone writes to it.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        *damaged = true;
        Complain(path, strerror(errno));
        return {};
    }
    struct stat info;
    std::string text;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<uint64_t>(info.st_size) <= kMaxFileSize;
    char chunk[4096];
    while (ok) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > kMaxFileSize) ok = false;
    }
    close(fd);
    std::vector<Value> values;
    // A file we wrote starts with the header and ends with a line end.
    ok = ok && text.compare(0, sizeof kHeader, std::string(kHeader) + "\n") == 0 &&
         text.back() == '\n';
    for (size_t at = sizeof kHeader; ok && at < text.size();) {
        size_t end = text.find('\n', at);
        Value value;
        ok = ParseLine(text.substr(at, end - at), &value) && values.size() < kMaxValues;
        values.push_back(value);
        at = end + 1;
    }
    if (!ok) {
        *damaged = true;
        Complain(path, "damaged or not a settings file");
        return {};
    }
    return values;
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

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Save(const std::string& path, const std::vector<Value>& values, bool damaged) {
    if (!MakeFolders(path)) return false;
    if (damaged) {
        // Whatever was there is kept for a look, never silently overwritten.
        std::string aside = path + ".damaged";
        if (rename(path.c_str(), aside.c_str()) == 0)
            PosixReportError("VornaAgent: the unusable settings file was kept as " + aside);
    }
    std::string text = std::string(kHeader) + "\n";
    for (const Value& value : values) {
        std::vector<char> hex(2 * value.data.size() + 1);
        HexEncode(reinterpret_cast<const unsigned char*>(value.data.data()), value.data.size(),
                  hex.data());
        text += value.name + " " + TypeWord(value.type) + " " + hex.data() + "\n";
    }
    std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

}  // namespace

std::string PosixSettingsPath() { return PosixConfigHome() + "/vornaagent/settings"; }

bool PlatLoadSettings(StoredSettings* settings) {
    bool damaged = false;
    for (const Value& value : Load(PosixSettingsPath(), &damaged)) {
        for (int i = 0; i < kStoredCount; i++) {
            if (value.name != kStoredNames[i]) continue;
            StoredValue& out = settings->values[i];
            out.present = true;
            out.type = value.type;
            out.size = static_cast<uint32_t>(value.data.size());
            memcpy(out.data, value.data.data(), out.size);
        }
    }
    return !damaged;
}

bool PlatSaveSettings(const StoredSettings& settings) {
    std::string path = PosixSettingsPath();
    bool damaged = false;
    std::vector<Value> values = Load(path, &damaged);
    std::vector<Value> before = values;
    for (int i = 0; i < kStoredCount; i++) {
        const StoredValue& change = settings.values[i];
        if (change.action == kStoredKeep) continue;
        auto found = values.begin();
        while (found != values.end() && found->name != kStoredNames[i])
            ++found;
        if (found != values.end()) values.erase(found);
        if (change.action == kStoredWrite && TypeWord(change.type) != nullptr)
            values.push_back(
                {kStoredNames[i], change.type,
                 std::string(reinterpret_cast<const char*>(change.data), change.size)});
    }
    bool same = !damaged && values.size() == before.size();
    for (size_t i = 0; same && i < values.size(); i++) {
        bool found = false;
        for (const Value& old : before)
            found |= old.name == values[i].name && old.type == values[i].type &&
                     old.data == values[i].data;
        same = found;
    }
    // Unchanged settings are not written again.
    return same || Save(path, values, damaged);
}

AutostartState PlatAutostartState() {
    if (!PosixAutostartEnabled()) return kAutostartAbsent;
    return PosixAutostartIsOurs() ? kAutostartOurs : kAutostartOther;
}

bool PlatSetAutostart(bool on) { return PosixAutostartSet(on); }
