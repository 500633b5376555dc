#include "tests/soak/soak_measure.h"

#include <psapi.h>
#include <winternl.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const SYSTEM_INFORMATION_CLASS kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// One entry of the system handle table (the 32-bit layout; owner ids fit in 16 bits).
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};

// Wine answers GetProcessHandleCount with 0; the system handle table is exact on both.
DWORD CountHandles(HANDLE process, DWORD pid) {
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0) return count;
    static std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                              (ULONG)buffer.size(), &needed)) ==
               kInfoLengthMismatch &&
           buffer.size() < (64u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const HandleEntry* entry = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(PVOID));
    for (ULONG i = 0; i < entries; ++i) {
        if (entry[i].ownerPid == pid) count++;
    }
    return count;
}

long ProcStatusValue(const std::string& status, const char* key) {
    size_t at = status.find(std::string("\n") + key + ":");
    if (at == std::string::npos) return -1;
    return atol(status.c_str() + at + strlen(key) + 2);
}

std::string ReadWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text = "\n";
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}

long CountEntries(const std::string& directory) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    long count = 0;
    do {
        if (found.cFileName[0] != '.') count++;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

}  // namespace

Sample Measure(HANDLE process, DWORD pid, int unixPid) {
    Sample s;
    s.handles = CountHandles(process, pid);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, &memory, sizeof memory)) {
        s.workingSet = memory.WorkingSetSize;
        s.privateBytes = memory.PagefileUsage;  // the commit charge, = PrivateUsage
    }
    if (unixPid > 0) {
        // Wine maps Z: to the Linux root, so the Wine process's own /proc entry is readable.
        const std::string proc = "Z:\\proc\\" + std::to_string(unixPid);
        std::string status = ReadWholeFile(proc + "\\status");
        s.rssKb = ProcStatusValue(status, "VmRSS");
        s.anonKb = ProcStatusValue(status, "RssAnon");
        s.vmSizeKb = ProcStatusValue(status, "VmSize");
        s.threads = ProcStatusValue(status, "Threads");
        s.fds = CountEntries(proc + "\\fd");
    }
    return s;
}
