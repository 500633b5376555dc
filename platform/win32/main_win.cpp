// The executable's entry: the command line as arguments, argument 0 the module's full path.
#include <windows.h>

#include <cstring>
#include <vector>

#include "app/command_line.h"
#include "platform/events.h"
#include "platform/platform.h"
#include "platform/win32/text_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* line = GetCommandLineA();
    if (!line) line = "";
    size_t length = strlen(line);
    // Splitting only drops characters and every argument ends where a separator or quote was.
    std::vector<char> storage(length + 2);
    int capacity = static_cast<int>(length / 2 + 2);
    std::vector<char*> argv(static_cast<size_t>(capacity) + 1, nullptr);
    int argc = SplitCommandLine(line, storage.data(), storage.size(), argv.data(), capacity);
    if (argc < 1) argc = 1;
    if (argc > capacity) argc = capacity;
    argv[static_cast<size_t>(argc)] = nullptr;

    static char programPath[MAX_PATH * 4];
    PlatProgramPath(programPath, sizeof programPath);
    argv[0] = programPath;
    return AgentMain(argc, argv.data());
}
