// The instance mutex, the program path and the debug output on the real system.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "child_routines.h"
#include "platform/platform.h"
#include "platform/win32/text_win.h"
#include "wine_test_util.h"

namespace {

// ---- Instance mutex ----

struct HolderThread {
    std::string name;
    HANDLE release;  // signalled to make a live holder return without releasing
};

DWORD WINAPI HoldMutex(void* parameter) {
    auto* holder = static_cast<HolderThread*>(parameter);
    CreateMutexA(nullptr, TRUE, holder->name.c_str());
    if (holder->release) WaitForSingleObject(holder->release, 30000);
    return 0;  // ends owning the mutex: it is abandoned, as when an agent is killed
}

TEST(InstanceMutex, FirstCreatesSecondFindsIt) {
    std::string name = UniqueName("vorna-mutex");
    EXPECT_EQ(kMutexCreated, PlatCreateInstanceMutex(name.c_str()));
    EXPECT_EQ(kMutexExisted, PlatCreateInstanceMutex(name.c_str()));
}

TEST(InstanceMutex, OwnerGoneWithoutReleaseReadsAsAbandoned) {
    HolderThread holder = {UniqueName("vorna-mutex"), nullptr};
    HANDLE thread = CreateThread(nullptr, 0, HoldMutex, &holder, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    CloseHandle(thread);
    ASSERT_EQ(kMutexExisted, PlatCreateInstanceMutex(holder.name.c_str()));
    EXPECT_TRUE(PlatWaitInstanceMutexAbandoned(1000));
}

TEST(InstanceMutex, LiveOwnerIsWaitedForThenNotAbandoned) {
    HolderThread holder = {UniqueName("vorna-mutex"), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, HoldMutex, &holder, 0, nullptr);
    PlatMutexResult result = kMutexFailed;
    // The holder may need a moment to create it; poll until this side sees it existing.
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        HANDLE probe = OpenMutexA(SYNCHRONIZE, FALSE, holder.name.c_str());
        if (probe) {
            CloseHandle(probe);
            result = PlatCreateInstanceMutex(holder.name.c_str());
            break;
        }
        WaitForSingleObject(thread, 10);
    }
    ASSERT_EQ(kMutexExisted, result);
    DWORD waitStart = GetTickCount();
    EXPECT_FALSE(PlatWaitInstanceMutexAbandoned(400));
    DWORD took = GetTickCount() - waitStart;
    EXPECT_GE(took + 40, 400u) << "the wait did not wait for the live owner";
    EXPECT_LE(took, 1400u);
    SetEvent(holder.release);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(holder.release);
}

// ---- Program path ----

TEST(ProgramPath, IsTheModulePathCutToTheBuffer) {
    char full[MAX_PATH];
    GetModuleFileNameA(nullptr, full, sizeof full);
    std::string expected = full;
    ASSERT_GT(expected.size(), 8u);
    struct Case {
        size_t size;
        std::string want;
    } cases[] = {
        {1, ""},
        {8, expected.substr(0, 7)},
        {expected.size(), expected.substr(0, expected.size() - 1)},
        {expected.size() + 1, expected},
        {sizeof full, expected},
    };
    for (const Case& c : cases) {
        std::string buffer(c.size + 1, '#');
        PlatProgramPath(&buffer[0], c.size);
        EXPECT_EQ(c.want, std::string(buffer.c_str())) << "size " << c.size;
        EXPECT_EQ('#', buffer[c.size]) << "wrote past size " << c.size;
    }
}

// ---- Debug output ----

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char piece[4096];
        size_t n;
        while ((n = fread(piece, 1, sizeof piece, f)) > 0)
            bytes.append(piece, n);
        fclose(f);
    }
    return bytes;
}

std::string TempPath(const char* stem) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + UniqueName(stem) + ".txt";
}

TEST(DebugOutput, RedirectedOutputGetsOemLinesAndNoConsole) {
    std::string path = TempPath("vorna-debug");
    int code = RunChild("debug-write", path, 20000);
    std::string got = ReadFileBytes(path);
    DeleteFileA(path.c_str());
    EXPECT_EQ(kChildHasNoConsole, code) << "a console was opened although output was redirected";
    // "Трей: Подключен" in code page 866, then 700 times 'я' (0xEF in 866, 0xFF in 1251).
    std::string want = "\x92\xE0\xA5\xA9: \x8F\xAE\xA4\xAA\xAB\xEE\xE7\xA5\xAD\r\n";
    want += std::string(700, '\xEF') + "\r\n" + "\r\n";
    EXPECT_EQ(want, got);
}

TEST(DebugOutput, WithoutStandardOutputAConsoleIsOpened) {
    EXPECT_EQ(kChildHasConsole, RunChild("debug-console", "", 20000));
}

}  // namespace
