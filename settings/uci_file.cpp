#include "settings/uci_file.h"

#include <cctype>

#include "core/agent_state.h"
#include "core/ipv4.h"

namespace {

// A network device's name as the kernel takes it (IFNAMSIZ less the NUL).
const size_t kMaxDeviceName = 15;

std::string Where(const std::string& path, int line) {
    return path + ":" + std::to_string(line) + ": ";
}

bool Blank(char c) { return c == ' ' || c == '\t'; }

// A closing quote's position from `from`, with the text between added to `word`; in double
// quotes a backslash takes the next character as it is. npos when the quote is not closed.
size_t Quoted(const std::string& line, size_t from, char quote, std::string* word) {
    for (size_t i = from; i < line.size(); i++) {
        if (line[i] == quote) return i;
        if (quote == '"' && line[i] == '\\' && i + 1 < line.size()) i++;
        word->push_back(line[i]);
    }
    return std::string::npos;
}

// One line's words with UCI's quoting: quoted and unquoted parts next to each other make one
// word ('it'\''s'); `#` at the start of a word comments out the rest. Null, or why not.
const char* SplitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    size_t i = 0;
    for (;;) {
        while (i < line.size() && Blank(line[i]))
            i++;
        if (i >= line.size() || line[i] == '#') return nullptr;
        std::string word;
        while (i < line.size() && !Blank(line[i])) {
            char c = line[i];
            if (c == '\'' || c == '"') {
                size_t end = Quoted(line, i + 1, c, &word);
                if (end == std::string::npos) return "a quote is not closed on its line";
                i = end + 1;
            } else if (c == '\\') {
                if (i + 1 >= line.size()) return "a backslash ends the line";
                word.push_back(line[i + 1]);
                i += 2;
            } else {
                word.push_back(c);
                i++;
            }
        }
        words->push_back(word);
    }
}

// Section types and option names: what UCI itself accepts as names.
bool IsName(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (!isalnum(c) && c != '_' && c != '-') return false;
    return true;
}

bool HasControlCharacter(const std::string& line) {
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
    return false;
}

// Takes one line's statement into `sections`; null, or why not.
const char* TakeStatement(const std::vector<std::string>& words, int number,
                          std::vector<UciSection>* sections) {
    const std::string& keyword = words[0];
    size_t args = words.size() - 1;
    if (keyword == "package") return args == 1 ? nullptr : "package takes one name";
    if (keyword == "config") {
        if (args < 1 || args > 2) return "config takes a type and an optional name";
        if (!IsName(words[1])) return "a section's type is letters, digits, '_' and '-'";
        if (args == 2 && !IsName(words[2])) return "a section's name is letters, digits, '_', '-'";
        if (sections->size() >= kMaxUciSections) return "too many sections";
        sections->push_back({number, words[1], args == 2 ? words[2] : "", {}});
        return nullptr;
    }
    if (keyword != "option" && keyword != "list") return "expected config, option, list or package";
    if (args != 2) return "option and list take a name and one value";
    if (!IsName(words[1])) return "an option's name is letters, digits, '_' and '-'";
    if (sections->empty()) return "an option before the first config line";
    std::vector<UciOption>& options = sections->back().options;
    if (options.size() >= kMaxUciOptions) return "too many options in one section";
    options.push_back({number, keyword == "list", words[1], words[2]});
    return nullptr;
}

// UCI's booleans; -1 for anything else.
int Flag(const std::string& value) {
    for (const char* yes : {"1", "yes", "on", "true", "enabled"})
        if (value == yes) return 1;
    for (const char* no : {"0", "no", "off", "false", "disabled"})
        if (value == no) return 0;
    return -1;
}

// The server's fields shared by the agent section and an account: null when `option` is not
// one of them, else "" when taken, or why not.
const char* TakeServerOption(const UciOption& option, SiteFile* site) {
    long long port = 0;
    if (option.name == "server") {
        if (option.value.size() >= kAddressSize || !IsServerAddress(option.value))
            return "server must be A.B.C.D (not 0.0.0.0 or 255.255.255.255)";
        site->address = option.value;
    } else if (option.name == "port") {
        if (!ParseDecimal(option.value, 1, 65535, &port)) return "port must be 1 to 65535";
        site->port = option.value;
    } else if (option.name == "key") {
        if (option.value.empty() || option.value[0] != '/') return "key must be an absolute path";
        site->keyPath = option.value;
        site->keyLine = option.line;
    } else {
        return nullptr;
    }
    return "";
}

const char* TakeAccountOption(const UciOption& option, UciAccount* account) {
    const std::string& value = option.value;
    if (option.name == "enabled") {
        if (Flag(value) < 0) return "enabled must be 0 or 1";
        account->enabled = Flag(value) == 1;
    } else if (option.name == "login") {
        if (value.size() >= kLoginSize) return "login must be at most 63 bytes";
        account->login = value;
    } else if (option.name == "password") {
        if (value.size() >= kPasswordSize) return "password must be at most 63 bytes";
        account->password = value;
    } else if (option.name == "device") {
        if (value.empty() || value.size() > kMaxDeviceName || value.find('/') != value.npos ||
            value == "." || value == "..")
            return "device must be a network device's name (at most 15 characters)";
        account->device = value;
    } else {
        return "unknown option (enabled, login, password, device, server, port, key)";
    }
    return "";
}

// Reads one section of ours into `account` and `site`; false with `error`.
bool TakeSection(const std::string& path, const UciSection& section, bool isAccount,
                 UciAccount* account, SiteFile* site, std::string* error) {
    for (const UciOption& option : section.options) {
        const char* problem = option.list ? "takes one value, not a list" : nullptr;
        if (problem == nullptr) problem = TakeServerOption(option, site);
        if (problem == nullptr)
            problem = isAccount ? TakeAccountOption(option, account)
                                : "unknown option (server, port, key)";
        if (problem[0] != '\0') {
            // A name as long as its line would drown the reason.
            std::string shown =
                option.name.size() > 40 ? option.name.substr(0, 40) + "..." : option.name;
            *error = Where(path, option.line) + shown + ": " + problem;
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseUciText(const std::string& path, const std::string& text,
                  std::vector<UciSection>* sections, std::string* error) {
    sections->clear();
    std::vector<std::string> words;
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const char* problem = nullptr;
        if (line.size() > kMaxUciLine)
            problem = "line longer than 1024 characters";
        else if (HasControlCharacter(line))
            problem = "a control character";
        else
            problem = SplitWords(line, &words);
        if (problem == nullptr && !words.empty()) problem = TakeStatement(words, number, sections);
        if (problem != nullptr) {
            *error = Where(path, number) + problem;
            return false;
        }
    }
    return true;
}

bool ReadUciAccount(const std::string& path, const std::string& text, const std::string& name,
                    UciAccount* account, std::string* error) {
    std::vector<UciSection> sections;
    if (!ParseUciText(path, text, &sections, error)) return false;
    const UciSection* main = nullptr;
    const UciSection* mine = nullptr;
    for (const UciSection& section : sections) {
        bool isAccount = section.type == "account";
        if (isAccount && section.name.empty()) {
            *error = Where(path, section.line) + "an account section needs a name "
                                                 "(config account 'wan')";
            return false;
        }
        const UciSection** slot = isAccount && section.name == name                   ? &mine
                                  : section.type == "agent" && section.name == "main" ? &main
                                                                                      : nullptr;
        if (slot == nullptr) continue;
        if (*slot != nullptr) {
            *error = Where(path, section.line) + "a second " + section.type + " section '" +
                     section.name + "'";
            return false;
        }
        *slot = &section;
    }
    if (mine == nullptr) {
        *error = path + ": no account section '" + name + "'";
        return false;
    }
    *account = UciAccount();
    SiteFile own;
    if (main != nullptr && !TakeSection(path, *main, false, account, &account->site, error))
        return false;
    if (!TakeSection(path, *mine, true, account, &own, error)) return false;
    // The account's own server fields over the agent section's, each on its own.
    if (!own.address.empty()) account->site.address = own.address;
    if (!own.port.empty()) account->site.port = own.port;
    if (!own.keyPath.empty()) {
        account->site.keyPath = own.keyPath;
        account->site.keyLine = own.keyLine;
    }
    return true;
}
