// Policy values of any type and content for the machine and the user, applied at bring-up.
//
// Input: [flags] then, for each policy value of the agent's table, a machine record and a user
// record: [type] then for type % 4 == 1 four bytes (a DWORD), for 2 [length, 2 bytes
// little-endian] [text], for 3 nothing (another type); 0 is absent. flags bit 0: --address on
// the command line; bit 1: --log.
#include <cstring>
#include <string>
#include <vector>

#include "app/agent_main.h"
#include "settings/policy.h"
#include "settings/store.h"
#include "tests/fuzz/fuzz_agent.h"

using fake::world;
using fuzz::Check;

namespace {

const char kGivenAddress[] = "10.9.9.9";

fake::PolicyValue ReadValue(fuzz::ByteReader& in, bool* present) {
    *present = true;
    switch (in.Byte() % 4) {
        case 1: {
            uint32_t number = in.Byte();
            number |= static_cast<uint32_t>(in.Byte()) << 8;
            number |= static_cast<uint32_t>(in.Byte()) << 16;
            number |= static_cast<uint32_t>(in.Byte()) << 24;
            return fake::PolicyValue(number);
        }
        case 2: {
            std::string text = in.Bytes(in.U16() % 400);
            return fake::PolicyValue(text.c_str());
        }
        case 3: return fake::PolicyValue::Other();
    }
    *present = false;
    return fake::PolicyValue();
}

bool IsDottedQuad(const char* text) {
    int parts = 1;
    int digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.') {
            if (digits == 0) return false;
            parts++;
            digits = 0;
        } else if (*p >= '0' && *p <= '9' && digits < 3) {
            digits++;
        } else {
            return false;
        }
    }
    return parts == 4 && digits > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ConfigBlock original = gConfig;
    gConfig = original;
    fuzz::ByteReader in(data, size);
    const uint8_t flags = in.Byte();
    fuzz::StartAgent(false);
    std::map<std::string, fake::PolicyValue> machine, user;
    for (const PolicySpec& entry : kPolicies) {
        bool present = false;
        fake::PolicyValue value = ReadValue(in, &present);
        if (present) machine[entry.name] = value;
        value = ReadValue(in, &present);
        if (present) user[entry.name] = value;
    }
    world.machinePolicy[kPolicyKey] = machine;
    world.userPolicy[kPolicyKey] = user;
    uint32_t one = 1;
    auto& stored = world.registry[kSettingsKey];
    stored["savedata"] = {kValueDword, std::string(reinterpret_cast<char*>(&one), 4)};
    stored["login"] = {kValueString, "ivan"};
    stored["pass"] = {kValueBinary, std::string(static_cast<size_t>(gAgent.blockSize), 'p')};

    std::vector<std::string> words = {"agent.exe"};
    if (flags & 1) words.insert(words.end(), {"--address", kGivenAddress});
    if (flags & 2) words.insert(words.end(), {"--log", "C:\\own.log"});
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    world.debug.clear();
    Check(AgentBringUp(static_cast<int>(words.size()), argv.data()) == 0,
          "bad policy values never stop the start");

    Check(memchr(gConfig.serverAddress, '\0', sizeof gConfig.serverAddress) != nullptr,
          "the address stays NUL-terminated in its field");
    if (flags & 1) {
        Check(strcmp(gConfig.serverAddress, kGivenAddress) == 0, "--address wins");
    } else if (strcmp(gConfig.serverAddress, original.serverAddress) != 0) {
        auto it = machine.find("address");
        Check(it != machine.end() && it->second.type == kValueString &&
                  it->second.text == gConfig.serverAddress && IsDottedQuad(gConfig.serverAddress),
              "a changed address is the machine's policy, a dotted IPv4 address");
    }
    if (strcmp(gConfig.serverPort, original.serverPort) != 0) {
        auto it = machine.find("port");
        Check(it != machine.end() && it->second.type == kValueDword && it->second.number >= 1 &&
                  it->second.number <= 65535 &&
                  std::to_string(it->second.number) == gConfig.serverPort,
              "a changed port is the machine's policy, 1-65535");
    }
    // The --log file is opened before bring-up; the policy's must not replace it.
    if (flags & 2) Check(world.debugLogPath.empty(), "--log wins over the policy's log");
    int policyLines = 0;
    for (const std::string& line : world.debug) {
        if (line.rfind("Политика ", 0) != 0) continue;
        policyLines++;
        for (unsigned char c : line)
            Check(c >= 0x20, "no control character from a policy value reaches the debug output");
    }
    Check(policyLines <= 2 * kPolicyCount, "at most one line per value read");
    // A flag takes any DWORD, and the machine's wins over the user's.
    const fake::PolicyValue* noSave = nullptr;
    for (const auto* values : {&machine, &user}) {
        auto it = values->find("nosavedata");
        if (noSave == nullptr && it != values->end() && it->second.type == kValueDword)
            noSave = &it->second;
    }
    if (noSave != nullptr && noSave->number != 0) {
        Check(!stored.count("login") && !stored.count("pass"),
              "a policy forbidding it leaves nothing remembered");
    }
    gConfig = original;
    return 0;
}
