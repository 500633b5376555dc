#include "child_routines.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// Whether the process is attached to a console now: without one there is no console code page.
int ConsoleVerdict() { return GetConsoleCP() != 0 ? kChildHasConsole : kChildHasNoConsole; }

int DebugWrite() {
    PlatOpenDebugOutput();
    PlatDebugWrite("Трей: Подключен");
    PlatDebugWrite(std::string(700, 'я').c_str());
    PlatDebugWrite("");
    return ConsoleVerdict();
}

int DebugConsole() {
    PlatOpenDebugOutput();
    PlatDebugWrite("Трей");
    return ConsoleVerdict();
}

}  // namespace

int RunChildRoutine(const char* name) {
    if (strcmp(name, "debug-write") == 0) return DebugWrite();
    if (strcmp(name, "debug-console") == 0) return DebugConsole();
    return 100;
}

int RunChild(const char* name, const std::string& outputPath, unsigned timeoutMs) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --child " + name;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = nullptr;
    if (!outputPath.empty()) {
        output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) return -1;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    PROCESS_INFORMATION process = {};
    std::string mutableCommand = command;
    BOOL started = CreateProcessA(nullptr, &mutableCommand[0], nullptr, nullptr, TRUE,
                                  DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
    if (output) CloseHandle(output);
    if (!started) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
