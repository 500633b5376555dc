#include "tools/access_server/options.h"

#include <cstdlib>

#include "core/cp1251.h"
#include "core/ipv4.h"
#include "tools/common/files.h"

namespace {

typedef bool (*SettingHandler)(ServerOptions*, const std::string&, std::string*);

struct OptionEntry {
    OptionInfo info;
    SettingHandler apply;
};

bool Number(const std::string& value, long long low, long long high, long long* out,
            std::string* error) {
    if (ParseDecimal(value, low, high, out)) return true;
    *error = "\"" + value + "\" is not a whole number from " + std::to_string(low) + " to " +
             std::to_string(high);
    return false;
}

bool Text(const std::string& value, std::string* out, std::string* error) {
    return DecodeTextArgument(value, out, error);
}

bool IsRequestVerb(const std::string& verb) {
    return verb == "LOGON" || verb == "PING" || verb == "GETINFO" || verb == "LOGOUT";
}

bool SetFixedReply(ServerOptions* o, const std::string& verb, const std::string& text,
                   std::string* error) {
    if (!IsRequestVerb(verb)) {
        *error = "\"" + verb + "\" is not a verb (LOGON PING GETINFO LOGOUT)";
        return false;
    }
    std::string reply;
    if (!Text(text, &reply, error)) return false;
    o->state.fixedReplies[verb] = reply;
    return true;
}

bool Figure(ServerOptions* o, const char* field, const std::string& value, std::string* error) {
    std::string bytes;
    return Text(value, &bytes, error) && SetFigure(&o->state, "*", field, bytes, error);
}

bool OptKey(ServerOptions* o, const std::string& v, std::string*) {
    o->keyFile = v;
    return true;
}
bool OptGenerateKey(ServerOptions* o, const std::string& v, std::string* error) {
    if (v != "1024" && v != "2048" && v != "3072" && v != "4096") {
        *error = "key size is 1024, 2048, 3072 or 4096 bits";
        return false;
    }
    o->generateBits = atoi(v.c_str());
    return true;
}
bool OptSaveKey(ServerOptions* o, const std::string& v, std::string*) {
    o->saveKeyFile = v;
    return true;
}
bool OptWritePublic(ServerOptions* o, const std::string& v, std::string*) {
    o->writePublicFile = v;
    return true;
}
bool OptKeysOnly(ServerOptions* o, const std::string&, std::string*) {
    o->keysOnly = true;
    return true;
}
bool OptBind(ServerOptions* o, const std::string& v, std::string* error) {
    if (!IsDottedIpv4(v)) {
        *error = "\"" + v + "\" is not a dotted IPv4 address";
        return false;
    }
    o->bindAddress = v;
    return true;
}
bool OptAllowRemote(ServerOptions* o, const std::string&, std::string*) {
    o->allowRemote = true;
    return true;
}
bool OptPort(ServerOptions* o, const std::string& v, std::string* error) {
    long long port = 0;
    if (!Number(v, 0, 65535, &port, error)) return false;
    o->port = static_cast<int>(port);
    return true;
}
bool OptPortFile(ServerOptions* o, const std::string& v, std::string*) {
    o->portFile = v;
    return true;
}
bool OptLog(ServerOptions* o, const std::string& v, std::string*) {
    o->logFile = v;
    return true;
}
bool OptReadTimeout(ServerOptions* o, const std::string& v, std::string* error) {
    long long ms = 0;
    if (!Number(v, 1, 600000, &ms, error)) return false;
    o->readTimeoutMs = static_cast<int>(ms);
    return true;
}
bool OptControlPort(ServerOptions* o, const std::string& v, std::string* error) {
    long long port = 0;
    if (!Number(v, 1, 65535, &port, error)) return false;
    o->controlPort = static_cast<int>(port);
    return true;
}
bool OptReply(ServerOptions* o, const std::string& v, std::string* error) {
    const size_t equals = v.find('=');
    if (equals == std::string::npos) {
        *error = "a reply is given as VERB=TEXT";
        return false;
    }
    return SetFixedReply(o, v.substr(0, equals), v.substr(equals + 1), error);
}
bool OptAccount(ServerOptions* o, const std::string& v, std::string* error) {
    const size_t colon = v.find(':');
    std::string login, password;
    if (colon == std::string::npos || colon == 0) {
        *error = "an account is given as LOGIN:PASSWORD";
        return false;
    }
    if (!Text(v.substr(0, colon), &login, error) || !Text(v.substr(colon + 1), &password, error)) {
        return false;
    }
    o->state.accounts[login].password = password;
    return true;
}
bool OptBalance(ServerOptions* o, const std::string& v, std::string* e) {
    return Figure(o, "balance", v, e);
}
bool OptCost(ServerOptions* o, const std::string& v, std::string* e) {
    return Figure(o, "cost", v, e);
}
bool OptDigit(ServerOptions* o, const std::string& v, std::string* e) {
    return Figure(o, "digit", v, e);
}
bool OptMessage(ServerOptions* o, const std::string& v, std::string* e) {
    return Figure(o, "message", v, e);
}
bool OptInfo(ServerOptions* o, const std::string& v, std::string* e) {
    return Figure(o, "info", v, e);
}
bool OptPingSeconds(ServerOptions* o, const std::string& v, std::string* error) {
    long long seconds = 0;
    if (!Number(v, 0, 1000000, &seconds, error)) return false;
    o->state.pingSeconds = static_cast<int>(seconds);
    return true;
}
bool OptRefuseLogon(ServerOptions* o, const std::string& v, std::string* error) {
    std::string text;
    if (!Text(v, &text, error)) return false;
    o->state.refuseLogon = text;
    return true;
}
bool OptWrongPasswordText(ServerOptions* o, const std::string& v, std::string* error) {
    return Text(v, &o->state.wrongPasswordText, error);
}
bool OptEndText(ServerOptions* o, const std::string& v, std::string* error) {
    return Text(v, &o->state.endText, error);
}
bool OptUnknownSessionText(ServerOptions* o, const std::string& v, std::string* error) {
    return Text(v, &o->state.unknownSessionText, error);
}
bool OptPendingPings(ServerOptions* o, const std::string& v, std::string* error) {
    long long count = 0;
    if (!Number(v, 0, 1000000, &count, error)) return false;
    o->state.pendingPings = static_cast<int>(count);
    return true;
}
bool OptEndSessionAfter(ServerOptions* o, const std::string& v, std::string* error) {
    char* end = nullptr;
    const double seconds = strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(seconds >= 0) || seconds > 1e7) {
        *error = "\"" + v + "\" is not a number of seconds";
        return false;
    }
    o->state.endSessionAfter = seconds;
    return true;
}
bool OptFirstSessionId(ServerOptions* o, const std::string& v, std::string* error) {
    long long id = 0;
    if (!Number(v, 1, 999999999999999LL, &id, error)) return false;
    o->state.nextSessionId = static_cast<uint64_t>(id);
    return true;
}
bool OptFault(ServerOptions* o, const std::string& v, std::string* error) {
    return ParseFault(v, &o->state.faults.fault, error);
}
bool OptFaultCount(ServerOptions* o, const std::string& v, std::string* error) {
    long long count = 0;
    if (!Number(v, 1, 1000000, &count, error)) return false;
    o->state.faults.remaining = static_cast<int>(count);
    return true;
}
bool OptScenario(ServerOptions* o, const std::string& v, std::string* error) {
    std::string text;
    if (!ReadWholeFile(v, &text, error, 1 << 20)) return false;
    if (!ApplyScenario(text, o, error)) {
        *error = v + ": " + *error;
        return false;
    }
    return true;
}
bool OptHelp(ServerOptions* o, const std::string&, std::string*) {
    o->help = true;
    return true;
}
bool OptVersion(ServerOptions* o, const std::string&, std::string*) {
    o->version = true;
    return true;
}

const OptionEntry kOptions[] = {
    {{"key", "FILE"}, OptKey},
    {{"generate-key", "BITS"}, OptGenerateKey},
    {{"save-key", "FILE"}, OptSaveKey},
    {{"write-public", "FILE"}, OptWritePublic},
    {{"keys-only", nullptr}, OptKeysOnly},
    {{"bind", "ADDR"}, OptBind},
    {{"allow-remote", nullptr}, OptAllowRemote},
    {{"port", "N"}, OptPort},
    {{"port-file", "FILE"}, OptPortFile},
    {{"log", "FILE"}, OptLog},
    {{"read-timeout", "MS"}, OptReadTimeout},
    {{"control-port", "N"}, OptControlPort},
    {{"reply", "VERB=TEXT"}, OptReply},
    {{"account", "LOGIN:PASSWORD"}, OptAccount},
    {{"balance", "TEXT"}, OptBalance},
    {{"cost", "TEXT"}, OptCost},
    {{"status-digit", "0|1|2"}, OptDigit},
    {{"message", "TEXT"}, OptMessage},
    {{"info", "TEXT"}, OptInfo},
    {{"ping-seconds", "N"}, OptPingSeconds},
    {{"refuse-logon", "TEXT"}, OptRefuseLogon},
    {{"wrong-password-text", "TEXT"}, OptWrongPasswordText},
    {{"end-text", "TEXT"}, OptEndText},
    {{"unknown-session-text", "TEXT"}, OptUnknownSessionText},
    {{"pending-pings", "N"}, OptPendingPings},
    {{"end-session-after", "SECONDS"}, OptEndSessionAfter},
    {{"first-session-id", "N"}, OptFirstSessionId},
    {{"fault", "MODE[:VERB]"}, OptFault},
    {{"fault-count", "N"}, OptFaultCount},
    {{"scenario", "FILE"}, OptScenario},
    {{"help", nullptr}, OptHelp},
    {{"version", nullptr}, OptVersion},
};
const OptionEntry* FindOption(const std::string& name) {
    for (const OptionEntry& entry : kOptions) {
        if (name == entry.info.name) return &entry;
    }
    return nullptr;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// "account.LOGIN.FIELD = value": creates the account when needed.
bool ApplyAccountKey(ServerOptions* o, const std::string& key, const std::string& value,
                     std::string* error) {
    const size_t dot = key.rfind('.');
    if (dot == std::string::npos || dot <= 8) {
        *error = "expected account.LOGIN.FIELD";
        return false;
    }
    std::string login, bytes;
    if (!Text(key.substr(8, dot - 8), &login, error) || !Text(value, &bytes, error)) return false;
    o->state.accounts[login];
    return SetFigure(&o->state, login, key.substr(dot + 1), bytes, error);
}

}  // namespace

std::vector<OptionInfo> ServerOptionList() {
    std::vector<OptionInfo> list;
    for (const OptionEntry& entry : kOptions)
        list.push_back(entry.info);
    return list;
}

bool ApplySetting(ServerOptions* options, const std::string& name, const std::string& value,
                  std::string* error) {
    const OptionEntry* entry = FindOption(name);
    if (!entry) {
        *error = "unknown setting \"" + name + "\" (see --help)";
        return false;
    }
    if (!entry->info.argument && !value.empty() && value != "yes" && value != "true" &&
        value != "1") {
        *error = name + " is a switch: give it no value, or yes";
        return false;
    }
    if (!entry->apply(options, value, error)) {
        *error = name + ": " + *error;
        return false;
    }
    return true;
}

bool ParseCommandLine(int argc, const char* const* argv, ServerOptions* options,
                      std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "-h") word = "--help";
        if (word.compare(0, 2, "--") != 0) {
            *error = "unexpected argument \"" + word + "\" (options start with --)";
            return false;
        }
        word.erase(0, 2);
        std::string value;
        const size_t equals = word.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = word.substr(equals + 1);
            word.erase(equals);
        }
        const OptionEntry* entry = FindOption(word);
        if (!entry) {
            *error = "unknown option --" + word + " (see --help)";
            return false;
        }
        if (entry->info.argument && !inlineValue) {
            if (i + 1 >= argc) {
                *error = "--" + word + " needs " + entry->info.argument;
                return false;
            }
            value = argv[++i];
        }
        if (!ApplySetting(options, word, value, error)) return false;
    }
    return true;
}

bool ApplyScenario(const std::string& text, ServerOptions* options, std::string* error) {
    size_t start = 0;
    int number = 0;
    bool ok = true;
    while (ok && start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            *error = "line " + std::to_string(number) + ": expected name = value";
            ok = false;
            break;
        }
        const std::string name = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        std::string reason;
        if (name == "scenario" || name == "help") {
            reason = name + " cannot be set from a scenario";
            ok = false;
        } else if (name.compare(0, 6, "reply.") == 0) {
            ok = SetFixedReply(options, name.substr(6), value, &reason);
        } else if (name.compare(0, 8, "account.") == 0) {
            ok = ApplyAccountKey(options, name, value, &reason);
        } else {
            ok = ApplySetting(options, name, value, &reason);
        }
        if (!ok) *error = "line " + std::to_string(number) + ": " + reason;
    }
    return ok;
}
