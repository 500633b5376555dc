// The per-user settings: named, typed values in a small text file under the user's config
// folder, mode 0600, each change written to a temporary file and renamed over the old one so that
// a crash never leaves half a file. The Run key's one value is the start at logon instead.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/settings_posix.h"

namespace {

const char kSettingsKeyPath[] = "Software\\Vorna\\AuthUtility";
const char kRunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kHeader[] = "vornaagent-settings 1";
const size_t kMaxFileSize = 64 * 1024;
const size_t kMaxValues = 32;
const size_t kMaxNameLength = 64;
const size_t kMaxValueSize = 4096;

struct Value {
    std::string name;
    PlatValueType type;
    std::string data;
};

struct Key {
    bool isRun = false;
    std::string path;
    std::vector<Value> values;
    bool damaged =
        false;  // the file was there but unusable: it is kept aside before the next write
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

bool TypeFromWord(const std::string& word, PlatValueType* type) {
    for (const auto& t : kTypeWords) {
        if (word == t.word) {
            *type = t.type;
            return true;
        }
    }
    return false;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (char c : name)
        if (c <= ' ' || c > '~') return false;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool FromHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxValueSize) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

// One line: NAME TYPE HEX. False on anything else.
bool ParseLine(const std::string& line, Value* value) {
    size_t first = line.find(' ');
    if (first == std::string::npos) return false;
    size_t second = line.find(' ', first + 1);
    if (second == std::string::npos) return false;
    value->name = line.substr(0, first);
    if (!ValidName(value->name)) return false;
    if (!TypeFromWord(line.substr(first + 1, second - first - 1), &value->type)) return false;
    if (!FromHex(line.substr(second + 1), &value->data)) return false;
    return value->type != kValueDword || value->data.size() == 4;
}

void Complain(const std::string& path, const std::string& why) {
    PosixReportError("VornaAgent: settings in " + path + " not used (" + why +
                     "); the agent runs without stored settings");
}

void Load(Key* key) {
    key->values.clear();
    key->damaged = false;
    // Non-blocking: a FIFO put at the name must not hold the start until someone writes to it.
    int fd = open(key->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return;
        key->damaged = true;
        Complain(key->path, strerror(errno));
        return;
    }
    struct stat info;
    std::string text;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok && static_cast<uint64_t>(info.st_size) > kMaxFileSize) {
        close(fd);
        key->damaged = true;
        Complain(key->path, "too large");
        return;
    }
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
    size_t at = 0;
    bool first = true;
    while (ok && at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            ok = false;  // a file we wrote always ends with a line end
            break;
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (first) {
            ok = line == kHeader;
            first = false;
            continue;
        }
        Value value;
        if (!ParseLine(line, &value) || values.size() >= kMaxValues) {
            ok = false;
            break;
        }
        values.push_back(value);
    }
    if (ok && first) ok = false;  // empty file: not ours
    if (!ok) {
        key->damaged = true;
        Complain(key->path, "damaged or not a settings file");
        return;
    }
    key->values = values;
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

bool Save(Key* key) {
    if (!MakeFolders(key->path)) return false;
    if (key->damaged) {
        // Whatever was there is kept for a look, never silently overwritten.
        std::string aside = key->path + ".damaged";
        if (rename(key->path.c_str(), aside.c_str()) == 0)
            PosixReportError("VornaAgent: the unusable settings file was kept as " + aside);
        key->damaged = false;
    }
    std::string text = std::string(kHeader) + "\n";
    for (const Value& value : key->values)
        text += value.name + " " + TypeWord(value.type) + " " + ToHex(value.data) + "\n";
    std::string temporary = key->path + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temporary.c_str(), key->path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

Value* FindValue(Key* key, const char* name) {
    for (Value& value : key->values)
        if (value.name == name) return &value;
    return nullptr;
}

}  // namespace

std::string PosixSettingsPath() { return PosixConfigHome() + "/vornaagent/settings"; }

PlatKey PlatRegCreateKey(const char* path) {
    if (!path) return nullptr;
    Key* key = new Key();
    if (strcmp(path, kRunKeyPath) == 0) {
        key->isRun = true;
        return key;
    }
    if (strcmp(path, kSettingsKeyPath) != 0) {
        delete key;
        return nullptr;
    }
    key->isRun = false;
    key->path = PosixSettingsPath();
    Load(key);
    return key;
}

bool PlatRegQuery(PlatKey handle, const char* name, void* data, uint32_t* size,
                  PlatValueType* type) {
    Key* key = static_cast<Key*>(handle);
    if (!key || !name || !data || !size) return false;
    std::string bytes;
    PlatValueType found = kValueString;
    if (key->isRun) {
        if (!PosixAutostartEnabled()) return false;
        bytes = PosixAutostartCommand();
    } else {
        const Value* value = FindValue(key, name);
        if (!value) return false;
        bytes = value->data;
        found = value->type;
    }
    if (bytes.size() > *size) return false;
    memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<uint32_t>(bytes.size());
    if (type) *type = found;
    return true;
}

bool PlatRegSet(PlatKey handle, const char* name, PlatValueType type, const void* data,
                uint32_t size) {
    Key* key = static_cast<Key*>(handle);
    if (!key || !name || (!data && size) || !TypeWord(type) || size > kMaxValueSize) return false;
    if (key->isRun) return PosixAutostartSet(true);
    if (!ValidName(name) || (type == kValueDword && size != 4)) return false;
    std::string bytes(static_cast<const char*>(data), size);
    Value* value = FindValue(key, name);
    if (value && value->type == type && value->data == bytes && !key->damaged) return true;
    if (!value) {
        if (key->values.size() >= kMaxValues) return false;
        key->values.push_back({name, type, bytes});
    } else {
        value->type = type;
        value->data = bytes;
    }
    return Save(key);
}

bool PlatRegDelete(PlatKey handle, const char* name) {
    Key* key = static_cast<Key*>(handle);
    if (!key || !name) return false;
    if (key->isRun) return PosixAutostartSet(false);
    for (size_t i = 0; i < key->values.size(); i++) {
        if (key->values[i].name == name) {
            key->values.erase(key->values.begin() + static_cast<long>(i));
            return Save(key);
        }
    }
    return false;
}

void PlatRegClose(PlatKey handle) { delete static_cast<Key*>(handle); }

PlatPathMatch PlatRegMatchProgramPath(PlatKey handle, const char* name) {
    Key* key = static_cast<Key*>(handle);
    if (!key || !name) return kPathAbsent;
    if (key->isRun) {
        if (!PosixAutostartEnabled()) return kPathAbsent;
        return PosixAutostartIsOurs() ? kPathSame : kPathOther;
    }
    const Value* value = FindValue(key, name);
    if (!value) return kPathAbsent;
    char path[4096];
    PlatProgramPath(path, sizeof path);
    return value->type == kValueString && value->data == path ? kPathSame : kPathOther;
}

bool PlatRegSetProgramPath(PlatKey handle, const char* name) {
    Key* key = static_cast<Key*>(handle);
    if (!key || !name) return false;
    if (key->isRun) return PosixAutostartSet(true);
    char path[4096];
    PlatProgramPath(path, sizeof path);
    return PlatRegSet(handle, name, kValueString, path, static_cast<uint32_t>(strlen(path)));
}
