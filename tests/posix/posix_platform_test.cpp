// The POSIX platform on its own: the loop's sockets against a loopback server, its timers, the
// settings file, the lock and the debug output. The handlers here record what the loop hands
// over and play a small engine.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/events.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/settings_posix.h"

// ---- What the loop calls besides the platform ----

namespace {

struct Seen {
    int event;
    int error;
};
std::vector<Seen> gSeen;
std::vector<int> gTicks;
std::string gReceived;
PlatSocket gSocket = kNoSocket;
PlatWindow gWindow = reinterpret_cast<PlatWindow>(1);
const int kGuardTimer = 99;

}  // namespace

void OnSocketEvent(PlatSocket s, int event, int error) {
    gSeen.push_back({event, error});
    if (error != 0 || event == kEventClose) {
        PlatSocketClose(s);
        PlatPostQuit(1);
        return;
    }
    if (event == kEventConnect) PlatSocketSelect(s, gWindow, kEventWrite | kEventClose);
    if (event == kEventWrite) {
        const uint8_t request[] = "ping";
        EXPECT_EQ(PlatSocketSend(s, request, 4), 4);
        PlatSocketSelect(s, gWindow, kEventRead | kEventClose);
    }
    if (event == kEventRead) {
        uint8_t buffer[64];
        int n = PlatSocketRecv(s, buffer, sizeof buffer);
        if (n > 0) gReceived.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        if (n == 0) {
            PlatSocketClose(s);
            PlatPostQuit(0);
        }
    }
}

void OnTimer(int id) {
    gTicks.push_back(id);
    if (id == kGuardTimer) PlatPostQuit(2);
}
void OnCommand(int) {}
void OnStopRequest() {}
bool PosixControlStart() { return true; }
void PosixControlAfterRound() {}
void PosixControlStop(int) {}
void PosixWorldStart() {}
void PosixWorldCheckResume() {}

namespace {

enum ServerMove { kAnswerAndClose, kReset, kCloseWithoutReading };

// A one-connection loopback server in a thread; returns its port.
int Serve(ServerMove move, std::thread* thread) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    *thread = std::thread([listener, move] {
        int c = accept(listener, nullptr, nullptr);
        close(listener);
        char request[4];
        if (move != kCloseWithoutReading) {
            EXPECT_EQ(recv(c, request, 4, MSG_WAITALL), 4);
        }
        if (move == kAnswerAndClose) send(c, "pong", 4, 0);
        if (move == kReset) {
            linger hard = {1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(c);
    });
    return ntohs(address.sin_port);
}

int RunExchange(int port) {
    gSeen.clear();
    gReceived.clear();
    gSocket = PlatSocketOpen();
    EXPECT_NE(gSocket, kNoSocket);
    PlatSocketSelect(gSocket, gWindow, kEventConnect | kEventClose);
    PlatSocketConnect(gSocket, "127.0.0.1", port);
    PlatSetTimer(gWindow, kGuardTimer, 3000);
    int code = PlatRunMessageLoop(nullptr, gWindow);
    PlatKillTimer(gWindow, kGuardTimer);
    return code;
}

std::vector<int> Events() {
    std::vector<int> events;
    for (const Seen& s : gSeen)
        events.push_back(s.event);
    return events;
}

}  // namespace

// The loop keeps its quit flag for the process: each exchange runs in a child of its own.
template <typename Body> void InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the child's output";
}

TEST(PosixSockets, EventContractAgainstALoopbackServer) {
    InChild([] {
        std::thread server;
        int port = Serve(kAnswerAndClose, &server);
        EXPECT_EQ(RunExchange(port), 0);
        server.join();
        // One connect, one write (not one per poll), reads until the end.
        std::vector<int> events = Events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[0], kEventConnect);
        EXPECT_EQ(gSeen[0].error, 0);
        EXPECT_EQ(events[1], kEventWrite);
        for (size_t i = 2; i < events.size(); i++)
            EXPECT_EQ(events[i], kEventRead) << i;
        EXPECT_EQ(gReceived, "pong");
    });
}

TEST(PosixSockets, FailuresCarryAnErrorOrAClose) {
    InChild([] {
        // Nobody listens: the connect event carries the error.
        int unused = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(unused, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(unused, reinterpret_cast<sockaddr*>(&address), &size);
        EXPECT_EQ(RunExchange(ntohs(address.sin_port)), 1);
        ASSERT_EQ(gSeen.size(), 1u);
        EXPECT_EQ(gSeen[0].event, kEventConnect);
        EXPECT_NE(gSeen[0].error, 0);
        close(unused);
    });
    InChild([] {
        // A reset after the request is a close with an error, never a complete reply.
        std::thread server;
        int port = Serve(kReset, &server);
        EXPECT_EQ(RunExchange(port), 1);
        server.join();
        ASSERT_FALSE(gSeen.empty());
        EXPECT_EQ(gSeen.back().event, kEventClose);
        EXPECT_NE(gSeen.back().error, 0);
        EXPECT_EQ(gReceived, "");
    });
    InChild([] {
        // A bad address: the connect event comes at once with an error.
        gSocket = PlatSocketOpen();
        PlatSocketSelect(gSocket, gWindow, kEventConnect | kEventClose);
        PlatSocketConnect(gSocket, "not an address", 80);
        PlatSetTimer(gWindow, kGuardTimer, 3000);
        EXPECT_EQ(PlatRunMessageLoop(nullptr, gWindow), 1);
        ASSERT_EQ(gSeen.size(), 1u);
        EXPECT_NE(gSeen[0].error, 0);
    });
}

TEST(PosixTimers, PeriodicOnTheMonotonicClock) {
    InChild([] {
        uint32_t start = PlatNowMs();
        PlatSetTimer(gWindow, 1, 20);
        PlatSetTimer(gWindow, 3, 1000);
        PlatKillTimer(gWindow, 3);  // a killed timer never ticks
        PlatSetTimer(gWindow, kGuardTimer, 110);
        PlatSetTimer(gWindow, kGuardTimer, 110);  // setting again restarts, not doubles
        EXPECT_EQ(PlatRunMessageLoop(nullptr, gWindow), 2);
        uint32_t elapsed = PlatNowMs() - start;
        int ones = 0;
        for (int id : gTicks) {
            EXPECT_NE(id, 3);
            if (id == 1) ones++;
        }
        EXPECT_GE(elapsed, 110u);
        EXPECT_GE(ones, 3);
        EXPECT_LE(ones, 6);
    });
}

// ---- Settings ----

class PosixSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorna-settings-XXXXXX";
        dir_ = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        path_ = PosixSettingsPath();
        mkdir((dir_ + "/vornaagent").c_str(), 0700);
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string dir_, path_;
};

const char kKey[] = "Software\\Vorna\\AuthUtility";

TEST_F(PosixSettings, ValuesRoundTripInAPrivateFileWrittenWhole) {
    PlatKey key = PlatRegCreateKey(kKey);
    ASSERT_NE(key, nullptr);
    uint32_t flag = 1;
    const uint8_t block[4] = {0, 0xff, '\n', ' '};
    EXPECT_TRUE(PlatRegSet(key, "savedata", kValueDword, &flag, 4));
    EXPECT_TRUE(PlatRegSet(key, "login", kValueString, "иванов", 12));
    EXPECT_TRUE(PlatRegSet(key, "pass", kValueBinary, block, 4));
    EXPECT_FALSE(PlatRegSet(key, "bad", kValueDword, &flag, 2)) << "a DWORD is 4 bytes";
    PlatRegClose(key);
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(access((path_ + ".tmp").c_str(), F_OK), 0) << "no temporary file left";

    key = PlatRegCreateKey(kKey);
    uint8_t got[16];
    uint32_t size = sizeof got;
    PlatValueType type = kValueNone;
    ASSERT_TRUE(PlatRegQuery(key, "pass", got, &size, &type));
    EXPECT_EQ(type, kValueBinary);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), size), std::string("\0\xff\n ", 4));
    size = 2;
    got[0] = 'x';
    EXPECT_FALSE(PlatRegQuery(key, "login", got, &size, &type)) << "too small is a failure";
    EXPECT_EQ(got[0], 'x') << "and leaves the buffer alone";
    EXPECT_TRUE(PlatRegDelete(key, "login"));
    size = sizeof got;
    EXPECT_FALSE(PlatRegQuery(key, "login", got, &size, &type));
    PlatRegClose(key);
    EXPECT_EQ(PlatRegCreateKey("Software\\Elsewhere"), nullptr);
}

TEST_F(PosixSettings, BadFilesAreNoSettingsAndAreKeptAside) {
    std::string big(100 * 1024, 'a');
    const std::string header = "vornaagent-settings 1\n";
    struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"garbage", "\x01\x02\x03 binary junk\n"},
        {"foreign", "[Settings]\nsavedata=1\n"},
        {"oversize", header + big},
        {"empty", ""},
        {"no line end", header + "savedata dword 01000000"},
        {"short dword", header + "savedata dword 0100\n"},
        {"bad hex", header + "savedata dword 0x000000\n"},
        {"unknown type", header + "savedata qword 0100000000000000\n"},
    };
    for (const auto& c : cases) {
        Write(c.text);
        PlatKey key = PlatRegCreateKey(kKey);
        ASSERT_NE(key, nullptr) << c.name;
        uint32_t value = 7, size = 4;
        EXPECT_FALSE(PlatRegQuery(key, "savedata", &value, &size, nullptr)) << c.name;
        uint32_t on = 1;
        EXPECT_TRUE(PlatRegSet(key, "runonwinlogon", kValueDword, &on, 4)) << c.name;
        PlatRegClose(key);
        EXPECT_EQ(Read(path_ + ".damaged"), c.text) << c.name << ": the old file is kept";
        EXPECT_EQ(Read(path_), header + "runonwinlogon dword 01000000\n") << c.name;
        unlink((path_ + ".damaged").c_str());
    }
    // Not a file at all.
    unlink(path_.c_str());
    mkdir(path_.c_str(), 0700);
    PlatKey key = PlatRegCreateKey(kKey);
    uint32_t value = 0, size = 4;
    EXPECT_FALSE(PlatRegQuery(key, "savedata", &value, &size, nullptr));
    PlatRegClose(key);
}

TEST_F(PosixSettings, AutostartFallsBackToAnXdgEntry) {
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);  // no user manager there
    PlatKey run = PlatRegCreateKey("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    ASSERT_NE(run, nullptr);
    EXPECT_TRUE(PlatRegSet(run, "VORNA Auth Utility", kValueString, "x", 1));
    std::string entry = Read(PosixAutostartEntryPath());
    EXPECT_NE(entry.find("Exec=" + PosixAutostartCommand() + "\n"), std::string::npos) << entry;
    char value[4096];
    uint32_t size = sizeof value;
    EXPECT_TRUE(PlatRegQuery(run, "VORNA Auth Utility", value, &size, nullptr));
    EXPECT_TRUE(PlatRegDelete(run, "VORNA Auth Utility"));
    EXPECT_NE(access(PosixAutostartEntryPath().c_str(), F_OK), 0);
    size = sizeof value;
    EXPECT_FALSE(PlatRegQuery(run, "VORNA Auth Utility", value, &size, nullptr));
    PlatRegClose(run);
}

TEST(PosixProcess, OneAgentPerUser) {
    char pattern[] = "/tmp/vorna-lock-XXXXXX";
    std::string dir = mkdtemp(pattern);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    InChild([] {
        EXPECT_EQ(PlatCreateInstanceMutex("x"), kMutexCreated);
        InChild([] { EXPECT_EQ(PlatCreateInstanceMutex("x"), kMutexExisted); });
        EXPECT_FALSE(PlatWaitInstanceMutexAbandoned(10));
    });
    // The holder is gone: the lock is free again.
    InChild([] { EXPECT_EQ(PlatCreateInstanceMutex("x"), kMutexCreated); });
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

TEST(PosixProcess, DebugOutputIsUtf8) {
    ::testing::internal::CaptureStdout();
    PlatDebugWrite("\xcf\xee\xe4\xea\xeb\xfe\xf7\xe5\xed \xb9 1");  // CP1251
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Подключен № 1\n");
}

TEST(PosixTray, BalloonGoesToTheDesktopOrTheDebugOutput) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(PlatTrayBalloon(gWindow, "VornaAgent", "\xd1\xe5\xf2\xfc"));  // CP1251 "Сеть"
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "VornaAgent: Сеть\n");

    // In a graphical session notify-send gets the texts in UTF-8.
    char pattern[] = "/tmp/vorna-notify-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string log = dir + "/args";
    std::ofstream(dir + "/notify-send") << "#!/bin/sh\nprintf '%s|' \"$@\" > " << log << ".part\n"
                                        << "mv " << log << ".part " << log << "\n";
    chmod((dir + "/notify-send").c_str(), 0755);
    std::string path = getenv("PATH");
    setenv("PATH", (dir + ":" + path).c_str(), 1);
    setenv("DISPLAY", ":7", 1);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(PlatTrayBalloon(gWindow, "VornaAgent", "\xd1\xe5\xf2\xfc"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "not in the debug output";
    std::string args;
    for (int i = 0; i < 500 && args.empty(); i++) {
        std::ifstream in(log);
        std::getline(in, args);
        if (args.empty()) usleep(10000);
    }
    EXPECT_EQ(args, "--app-name=VornaAgent|--|VornaAgent|Сеть|");
    setenv("PATH", path.c_str(), 1);
    unsetenv("DISPLAY");
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

namespace {

std::string TempDir(const char* name) {
    std::string pattern = std::string("/tmp/vorna-") + name + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data());
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

// The machine policy never fails open: what cannot be read or understood stops the start.
TEST(PosixPolicy, ReadStrictlyAndNeverFailsOpen) {
    std::string dir = TempDir("policy");
    std::string path = dir + "/policy.conf";
    struct {
        const char* name;
        std::string text;
        bool loads;
        int nosavedata;  // -1: not set
    } cases[] = {
        {"as an editor writes it", "nosavedata=1\n", true, 1},
        {"off", "nosavedata=0\n", true, 0},
        {"comments and blanks", "# shared machines\n\n  nosavedata = 1  # forced\r\n", true, 1},
        {"the last line counts", "nosavedata=1\nnosavedata=0\n", true, 0},
        {"empty", "", true, -1},
        {"a word", "nosavedata=yes\n", false, -1},
        {"a number out of range", "nosavedata=7\n", false, -1},
        {"an unknown name", "nosavedate=1\n", false, -1},
        {"no equals sign", "nosavedata\n", false, -1},
        {"a long comment never splits into a live line",
         "# " + std::string(1100, 'x') + "nosavedata=1\n", false, -1},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary) << c.text;
        std::string error;
        EXPECT_EQ(PosixLoadPolicy(path, &error), c.loads) << c.name << ": " << error;
        if (!c.loads) {
            EXPECT_NE(error.find(path), std::string::npos) << c.name << ": " << error;
        }
        uint32_t value = 99;
        bool set = PlatReadMachineDword("", "nosavedata", &value);
        EXPECT_EQ(set, c.nosavedata >= 0) << c.name;
        if (set) {
            EXPECT_EQ(value, static_cast<uint32_t>(c.nosavedata)) << c.name;
        }
    }
    std::string error;
    unlink(path.c_str());
    EXPECT_TRUE(PosixLoadPolicy(path, &error)) << "no file is no policy";
    mkdir(path.c_str(), 0755);
    EXPECT_FALSE(PosixLoadPolicy(path, &error)) << "a folder is not readable as a policy";
    rmdir(path.c_str());
    // A FIFO is refused at once instead of holding the start until someone writes to it.
    mkfifo(path.c_str(), 0600);
    alarm(5);
    EXPECT_FALSE(PosixLoadPolicy(path, &error));
    alarm(0);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

TEST_F(PosixSettings, AFifoAtTheNameDoesNotHoldTheStart) {
    unlink(path_.c_str());
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    alarm(5);
    PlatKey key = PlatRegCreateKey(kKey);
    alarm(0);
    uint32_t value = 0, size = 4;
    EXPECT_FALSE(PlatRegQuery(key, "savedata", &value, &size, nullptr));
    PlatRegClose(key);
}

// The support log holds session ids: private, never through a link, bounded however the move
// to .1 fares, and shared by two agents without one destroying the other's history.
TEST(PosixSupportLog, PrivateBoundedAndShared) {
    std::string dir = TempDir("log");
    std::string log = dir + "/agent.log";
    std::string line(1000, 'x');
    line += '\n';

    symlink((dir + "/elsewhere").c_str(), log.c_str());
    EXPECT_FALSE(PlatOpenDebugLog(log.c_str())) << "a link at the log's name";
    EXPECT_NE(access((dir + "/elsewhere").c_str(), F_OK), 0) << "nothing created through it";
    unlink(log.c_str());

    ASSERT_TRUE(PlatOpenDebugLog(log.c_str()));
    struct stat info;
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // FILE.1 is a folder: the move fails, and the log starts again in place.
    mkdir((log + ".1").c_str(), 0700);
    for (int i = 0; i < 3000; i++)
        PosixDebugLogWrite(line);
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    EXPECT_LE(info.st_size, 1L << 20) << "the log grew past its bound";
    rmdir((log + ".1").c_str());

    // Another agent moved the log away: this one writes on at the name, not into FILE.1.
    rename(log.c_str(), (log + ".1").c_str());
    std::string moved = ReadAll(log + ".1");
    PosixDebugLogWrite("after the move\n");
    EXPECT_EQ(ReadAll(log + ".1"), moved) << "the other agent's history is kept";
    EXPECT_EQ(ReadAll(log), "after the move\n");
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}
