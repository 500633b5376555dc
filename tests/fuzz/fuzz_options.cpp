// The command line: the raw bytes split the way the platform splits them, and arguments of any
// content through the options pass.
//
// Input: arguments separated by NUL bytes. The same bytes with NULs read as spaces are also the
// raw command line for SplitCommandLine.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/agent_main.h"
#include "app/command_line.h"
#include "settings/store.h"
#include "tests/fuzz/fuzz_agent.h"

using fake::world;
using fuzz::Check;

namespace {

ConfigBlock original;

// Arguments as separate allocations of their exact size, and an argv of exactly argc entries:
// a read past either is an overflow.
class Arguments {
  public:
    explicit Arguments(const std::vector<std::string>& words) {
        for (const std::string& word : words) {
            char* copy = static_cast<char*>(malloc(word.size() + 1));
            memcpy(copy, word.c_str(), word.size() + 1);
            pointers_.push_back(copy);
        }
    }
    ~Arguments() {
        for (char* p : pointers_)
            free(p);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    int argc() const { return static_cast<int>(pointers_.size()); }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<char*> pointers_;
};

void RunOptions(const std::vector<std::string>& words) {
    fuzz::StartAgent(false);
    gConfig = original;
    gAgent.runAtLogon = true;
    Arguments args(words);
    DebugSwitchGiven(args.argc(), args.argv());
    ApplyOptions(args.argc(), args.argv());

    Check(gConfig.serverAddress[30] == '\0', "serverAddress keeps its last byte NUL");
    std::string address(gConfig.serverAddress);
    bool fromArgument = address == original.serverAddress;
    for (const std::string& word : words) {
        if (word.compare(0, address.size(), address) == 0 &&
            (word.size() == address.size() || address.size() == 30)) {
            fromArgument = true;
        }
    }
    Check(fromArgument, "a new address is the first 30 characters of an argument");
    Check(memcmp(&gConfig, &original, offsetof(ConfigBlock, serverAddress)) == 0 &&
              memcmp(gConfig.portMarker, original.portMarker,
                     sizeof gConfig - offsetof(ConfigBlock, portMarker)) == 0,
          "options change nothing but serverAddress");
    if (gAgent.autorunLocked) {
        Check(!gAgent.runAtLogon, "--domain switches start at logon off");
        Check(world.registry[kRunKey].count(kRunValueName) == 0, "--domain removes the Run entry");
    } else {
        Check(gAgent.runAtLogon, "without --domain start at logon is untouched");
        Check(world.registry.empty(), "without --domain nothing is saved");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    original = gConfig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words = {"C:\\Vorna\\VornaAgent.exe"};
    size_t start = 0;
    for (size_t i = 0; i <= input.size(); i++) {
        if (i == input.size() || input[i] == '\0') {
            if (i > start || i < input.size()) words.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    if (size > 0) RunOptions(words);

    // The raw line, split as the platform's entry does it, and once more with tight storage.
    std::string line = input;
    for (char& c : line) {
        if (c == '\0') c = ' ';
    }
    size_t storageSizes[] = {line.size() + 2, line.size() / 3 + 1};
    for (size_t storageSize : storageSizes) {
        int capacity = static_cast<int>(line.size() / 2 + 2);
        std::vector<char> storage(storageSize);
        std::vector<char*> argv(static_cast<size_t>(capacity));
        int argc =
            SplitCommandLine(line.c_str(), storage.data(), storage.size(), argv.data(), capacity);
        Check(argc >= 0 && argc <= capacity, "argument count within the capacity");
        if (argc < capacity) Check(argv[argc] == nullptr, "argv ends with nullptr when it fits");
        std::vector<std::string> split;
        for (int i = 0; i < argc; i++) {
            const char* arg = argv[i];
            Check(arg >= storage.data() && arg < storage.data() + storage.size(),
                  "arguments point into the storage");
            size_t room = storage.data() + storage.size() - arg;
            Check(memchr(arg, '\0', room) != nullptr, "arguments are NUL-terminated in storage");
            Check(strpbrk(arg, " \t") == nullptr || line.find('"') != std::string::npos,
                  "only quotes keep blanks inside an argument");
            split.push_back(arg);
        }
        if (storageSize == line.size() + 2 && argc > 0) {
            split[0] = "C:\\Vorna\\VornaAgent.exe";
            RunOptions(split);
        }
    }
    return 0;
}
