// The router's UCI file: any bytes as the file, read as the account 'wan'.
//
// Input: the file's text. Checks: the parse stays within its bounds, what it keeps is what UCI
// would keep (names, no control characters), a failure names the file and a line, an account
// read has values the agent can hold, and the sections written back with UCI's quoting read the
// same.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "core/agent_state.h"
#include "core/ipv4.h"
#include "settings/uci_file.h"
#include "tests/fuzz/fuzz_agent.h"

using fuzz::Check;

namespace {

bool IsName(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (!isalnum(c) && c != '_' && c != '-') return false;
    return true;
}

std::string Quoted(const std::string& value) {
    std::string out = "'";
    for (char c : value)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The sections as UCI writes them; empty when a line would pass the limit.
std::string Written(const std::vector<UciSection>& sections) {
    std::string text;
    for (const UciSection& s : sections) {
        std::string line = "config " + s.type + (s.name.empty() ? "" : " " + Quoted(s.name));
        if (line.size() > kMaxUciLine) return "";
        text += line + "\n";
        for (const UciOption& o : s.options) {
            line =
                std::string("\t") + (o.list ? "list " : "option ") + o.name + " " + Quoted(o.value);
            if (line.size() > kMaxUciLine) return "";
            text += line + "\n";
        }
    }
    return text;
}

bool Same(const std::vector<UciSection>& a, const std::vector<UciSection>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].type != b[i].type || a[i].name != b[i].name) return false;
        if (a[i].options.size() != b[i].options.size()) return false;
        for (size_t j = 0; j < a[i].options.size(); j++) {
            const UciOption &x = a[i].options[j], &y = b[i].options[j];
            if (x.list != y.list || x.name != y.name || x.value != y.value) return false;
        }
    }
    return true;
}

void CheckSections(const std::vector<UciSection>& sections) {
    Check(sections.size() <= kMaxUciSections, "at most the bound of sections");
    for (const UciSection& s : sections) {
        Check(IsName(s.type) && (s.name.empty() || IsName(s.name)), "types and names are names");
        Check(s.options.size() <= kMaxUciOptions, "at most the bound of options");
        for (const UciOption& o : s.options) {
            Check(IsName(o.name), "option names are names");
            Check(o.value.size() <= kMaxUciLine, "a value fits its line");
            for (unsigned char c : o.value)
                Check(c >= 0x20 || c == '\t', "no control character in a value");
        }
    }
}

void CheckAccount(const UciAccount& account) {
    Check(account.login.size() < kLoginSize && account.password.size() < kPasswordSize,
          "the login and password fit the agent's fields");
    Check(account.device.size() <= 15 && account.device.find('/') == std::string::npos,
          "the device is a device's name");
    Check(account.site.address.empty() || IsServerAddress(account.site.address),
          "the server is a server's address");
    long long port = 0;
    Check(account.site.port.empty() || ParseDecimal(account.site.port, 1, 65535, &port),
          "the port is 1 to 65535");
    Check(account.site.keyPath.empty() || account.site.keyPath[0] == '/',
          "the key path is absolute");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<UciSection> sections;
    std::string error;
    if (!ParseUciText("F", text, &sections, &error)) {
        Check(error.rfind("F:", 0) == 0 && error.size() < 200, "a failure names file and line");
        return 0;
    }
    CheckSections(sections);
    std::string again = Written(sections);
    if (!again.empty()) {
        std::vector<UciSection> reread;
        Check(ParseUciText("F", again, &reread, &error), "what UCI writes reads back");
        Check(Same(sections, reread), "written with UCI's quoting, the sections read the same");
    }
    UciAccount account;
    if (ReadUciAccount("F", text, "wan", &account, &error)) {
        CheckAccount(account);
    } else {
        Check(error.rfind("F:", 0) == 0 && error.size() < 200, "a failure names the file");
    }
    return 0;
}
