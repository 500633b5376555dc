// Registry values of any type and size under the settings key, loaded and saved again.
//
// Input: [flags] then four records, for "runonwinlogon", "savedata", "login" and "pass" in that
// order: [type] [size, 2 bytes little-endian] [data]. type % 6 picks absent, string, binary,
// dword, another type or none. flags bit 0: the 2048-bit key; bit 1: the registry cannot be
// opened; bit 2: a Run entry is there already; bit 3: the user unchecks box 107 before saving.
#include <cstring>
#include <string>

#include "res/resource_ids.h"
#include "settings/store.h"
#include "tests/fuzz/fuzz_agent.h"

using fake::world;
using fuzz::Check;

namespace {

const char* const kNames[] = {"runonwinlogon", "savedata", "login", "pass"};
const PlatValueType kTypes[] = {kValueNone, kValueString, kValueBinary, kValueDword, kValueOther};

// What LoadSettings leaves in the agent and its logon window.
struct Loaded {
    bool runAtLogon;
    bool useSavedPassword;
    bool checked;
    std::string login;
    std::string password;
    std::string block;

    bool operator==(const Loaded& other) const {
        return runAtLogon == other.runAtLogon && useSavedPassword == other.useSavedPassword &&
               checked == other.checked && login == other.login && password == other.password &&
               block == other.block;
    }
};

Loaded Load() {
    LoadSettings();
    Loaded out;
    out.runAtLogon = gAgent.runAtLogon;
    out.useSavedPassword = gAgent.useSavedPassword;
    out.checked = fake::Checked(fake::kLogonWindow, IDC_REMEMBER);
    out.login = fuzz::ItemText(fake::kLogonWindow, IDC_LOGIN);
    out.password = fuzz::ItemText(fake::kLogonWindow, IDC_PASSWORD);
    out.block.assign(reinterpret_cast<char*>(gAgent.savedPasswordBlock), gAgent.blockSize);
    return out;
}

using Registry = std::map<std::string, std::map<std::string, fake::RegValue>>;

bool SameRegistry(const Registry& a, const Registry& b) {
    if (a.size() != b.size()) return false;
    for (auto ka = a.begin(), kb = b.begin(); ka != a.end(); ++ka, ++kb) {
        if (ka->first != kb->first || ka->second.size() != kb->second.size()) return false;
        for (auto va = ka->second.begin(), vb = kb->second.begin(); va != ka->second.end();
             ++va, ++vb) {
            if (va->first != vb->first || va->second.type != vb->second.type ||
                va->second.data != vb->second.data) {
                return false;
            }
        }
    }
    return true;
}

// A 4-byte DWORD value, and whether it is non-zero.
bool IsFlag(const std::map<std::string, fake::RegValue>& values, const char* name, bool* on) {
    auto it = values.find(name);
    if (it == values.end() || it->second.type != kValueDword || it->second.data.size() != 4) {
        return false;
    }
    uint32_t value;
    memcpy(&value, it->second.data.data(), 4);
    *on = value != 0;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader in(data, size);
    uint8_t flags = in.Byte();
    fuzz::StartAgent((flags & 1) != 0);
    std::map<std::string, fake::RegValue> stored;
    for (const char* name : kNames) {
        uint8_t type = in.Byte() % 6;
        size_t length = in.U16() % 1400;
        if (type == 0) continue;
        stored[name] = {kTypes[type - 1], in.Bytes(length)};
    }
    world.registry[kSettingsKey] = stored;
    if (flags & 4) world.registry[kRunKey][kRunValueName] = {kValueString, "C:\\old.exe"};
    world.registryFails = (flags & 2) != 0;
    const Registry before = world.registry;

    Loaded first = Load();
    Check(SameRegistry(world.registry, before), "loading changes nothing that is stored");
    Check(first.login.size() <= static_cast<size_t>(gAgent.blockSize),
          "a restored login fits blockSize bytes");
    if (!first.login.empty()) {
        auto login = stored.find("login");
        Check(login != stored.end() &&
                  login->second.data.compare(0, first.login.size(), first.login) == 0,
              "a restored login is the stored one");
    }
    Check(first.password.empty() || first.password == "password",
          "the password field shows only the placeholder");
    Check((first.password == "password") == first.useSavedPassword,
          "the placeholder stands exactly for a saved block");
    if (first.useSavedPassword) {
        auto pass = stored.find("pass");
        Check(pass != stored.end() && pass->second.data == first.block,
              "a saved block is the stored \"pass\" byte for byte");
    }
    bool storedOn = false;
    if (first.runAtLogon) {
        Check(IsFlag(stored, "runonwinlogon", &storedOn) && storedOn,
              "start at logon comes from a stored non-zero flag");
    }

    if (flags & 8) world.checks[{fake::kLogonWindow, IDC_REMEMBER}] = false;
    bool remembered = first.useSavedPassword && fake::Checked(fake::kLogonWindow, IDC_REMEMBER);
    Check(SaveSettings() == 0, "SaveSettings returns 0");
    if (world.registryFails) {
        Check(SameRegistry(world.registry, before), "an unopenable registry stays as it was");
        return 0;
    }
    const auto& saved = world.registry[kSettingsKey];
    bool flag = false;
    Check(IsFlag(saved, "savedata", &flag) && flag == remembered, "savedata written as a DWORD");
    Check(IsFlag(saved, "runonwinlogon", &flag) && flag == first.runAtLogon,
          "runonwinlogon written as a DWORD");
    if (remembered) {
        Check(saved.count("login") && saved.at("login").type == kValueString &&
                  saved.at("login").data == first.login,
              "the login is saved as restored");
        Check(saved.count("pass") && saved.at("pass").type == kValueBinary &&
                  saved.at("pass").data == stored.at("pass").data,
              "the password block survives loading and saving");
    } else {
        Check(!saved.count("login") && !saved.count("pass"), "nothing remembered, nothing kept");
    }
    auto& run = world.registry[kRunKey];
    Check(run.count(kRunValueName) == (first.runAtLogon ? 1u : 0u), "Run entry follows the flag");

    // What was saved loads back to the same state, so a restart loses nothing.
    fake::PlatWindow window = fake::kLogonWindow;
    world.texts.erase({window, IDC_LOGIN});
    world.texts.erase({window, IDC_PASSWORD});
    world.checks.erase({window, IDC_REMEMBER});
    gAgent.runAtLogon = false;
    Loaded second = Load();
    if (remembered) {
        Check(second == first, "saved settings load back unchanged");
    } else {
        Check(!second.useSavedPassword && !second.checked && second.login.empty() &&
                  second.password.empty() && second.runAtLogon == first.runAtLogon,
              "settings saved without credentials load back without them");
    }
    return 0;
}
