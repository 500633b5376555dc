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

#include "core/agent_state.h"
#include "platform/events.h"
#include "platform/linux/autostart_linux.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "ui/texts.h"

// ---- What the loop calls besides the platform ----

namespace {

struct Seen {
    PlatSocketEvent event;
    PlatNetError error;
};
std::vector<Seen> gSeen;
std::vector<int> gTicks;
std::string gReceived;
PlatSocket gSocket = kNoSocket;
const int kGuardTimer = 99;

}  // namespace

void OnSocketEvent(PlatSocket s, PlatSocketEvent event, PlatNetError error) {
    gSeen.push_back({event, error});
    if (error != kNetOk || event == kSocketClosed) {
        PlatSocketClose(s);
        PlatPostQuit(1);
        return;
    }
    if (event == kSocketConnected) PlatSocketWait(s, kWaitWrite);
    if (event == kSocketWritable) {
        const uint8_t request[] = "ping";
        EXPECT_EQ(PlatSocketSend(s, request, 4), 4);
        PlatSocketWait(s, kWaitRead);
    }
    if (event == kSocketReadable) {
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
ConfigBlock gConfig = {};  // the site file's reader writes into the block
std::vector<std::string> gWorld;
void OnWorldChange(const char* what) { gWorld.push_back(what); }
void DebugPrint(const char*, ...) {}

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
    PlatSocketWait(gSocket, kWaitConnect);
    PlatSocketConnect(gSocket, "127.0.0.1", port);
    PlatSetTimer(kGuardTimer, 3000);
    int code = PlatRunLoop();
    PlatKillTimer(kGuardTimer);
    return code;
}

std::vector<PlatSocketEvent> Events() {
    std::vector<PlatSocketEvent> events;
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
        std::vector<PlatSocketEvent> events = Events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[0], kSocketConnected);
        EXPECT_EQ(gSeen[0].error, kNetOk);
        EXPECT_EQ(events[1], kSocketWritable);
        for (size_t i = 2; i < events.size(); i++)
            EXPECT_EQ(events[i], kSocketReadable) << i;
        EXPECT_EQ(gReceived, "pong");
    });
}

TEST(PosixSockets, FailuresCarryAnErrorOrAClose) {
    InChild([] {
        // Nobody listens: the connect event carries the refusal.
        int unused = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(unused, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(unused, reinterpret_cast<sockaddr*>(&address), &size);
        EXPECT_EQ(RunExchange(ntohs(address.sin_port)), 1);
        ASSERT_EQ(gSeen.size(), 1u);
        EXPECT_EQ(gSeen[0].event, kSocketConnected);
        EXPECT_EQ(gSeen[0].error, kNetRefused);
        close(unused);
    });
    InChild([] {
        // A reset after the request is a close with an error, never a complete reply.
        std::thread server;
        int port = Serve(kReset, &server);
        EXPECT_EQ(RunExchange(port), 1);
        server.join();
        ASSERT_FALSE(gSeen.empty());
        EXPECT_EQ(gSeen.back().event, kSocketClosed);
        EXPECT_EQ(gSeen.back().error, kNetReset);
        EXPECT_EQ(gReceived, "");
    });
    InChild([] {
        // A bad address: the connect event comes at once with an error.
        gSocket = PlatSocketOpen();
        PlatSocketWait(gSocket, kWaitConnect);
        PlatSocketConnect(gSocket, "not an address", 80);
        PlatSetTimer(kGuardTimer, 3000);
        EXPECT_EQ(PlatRunLoop(), 1);
        ASSERT_EQ(gSeen.size(), 1u);
        EXPECT_EQ(gSeen[0].error, kNetOther);
    });
}

TEST(PosixTimers, PeriodicOnTheMonotonicClock) {
    InChild([] {
        uint32_t start = PlatNowMs();
        PlatSetTimer(1, 20);
        PlatSetTimer(3, 1000);
        PlatKillTimer(3);  // a killed timer never ticks
        PlatSetTimer(kGuardTimer, 110);
        PlatSetTimer(kGuardTimer, 110);  // setting again restarts, not doubles
        EXPECT_EQ(PlatRunLoop(), 2);
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

StoredValue& Value(StoredSettings* settings, StoredName name, PlatValueType type,
                   const std::string& data) {
    StoredValue& value = settings->values[name];
    value.action = kStoredWrite;
    value.type = type;
    value.size = static_cast<uint32_t>(data.size());
    memcpy(value.data, data.data(), data.size());
    return value;
}

std::string Data(const StoredValue& value) {
    return std::string(reinterpret_cast<const char*>(value.data), value.size);
}

TEST_F(PosixSettings, ValuesRoundTripInAPrivateFileWrittenWhole) {
    static StoredSettings out, in;
    Value(&out, kStoredSaveData, kValueDword, std::string("\1\0\0\0", 4));
    Value(&out, kStoredLogin, kValueString, "иванов");
    Value(&out, kStoredPass, kValueBinary, std::string("\0\xff\n ", 4));
    ASSERT_TRUE(PlatSaveSettings(out));
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(access((path_ + ".tmp").c_str(), F_OK), 0) << "no temporary file left";

    ASSERT_TRUE(PlatLoadSettings(&in));
    EXPECT_TRUE(in.values[kStoredPass].present);
    EXPECT_EQ(in.values[kStoredPass].type, kValueBinary);
    EXPECT_EQ(Data(in.values[kStoredPass]), std::string("\0\xff\n ", 4));
    EXPECT_EQ(Data(in.values[kStoredLogin]), "иванов");
    EXPECT_FALSE(in.values[kStoredRunAtLogon].present);

    // A delete removes the value; what is kept stays as it was.
    static StoredSettings change;
    change.values[kStoredLogin].action = kStoredDelete;
    ASSERT_TRUE(PlatSaveSettings(change));
    memset(&in, 0, sizeof in);
    ASSERT_TRUE(PlatLoadSettings(&in));
    EXPECT_FALSE(in.values[kStoredLogin].present);
    EXPECT_TRUE(in.values[kStoredPass].present);
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
        static StoredSettings in, out;
        memset(&in, 0, sizeof in);
        EXPECT_FALSE(PlatLoadSettings(&in)) << c.name;
        EXPECT_FALSE(in.values[kStoredSaveData].present) << c.name;
        memset(&out, 0, sizeof out);
        Value(&out, kStoredRunAtLogon, kValueDword, std::string("\1\0\0\0", 4));
        EXPECT_TRUE(PlatSaveSettings(out)) << c.name;
        EXPECT_EQ(Read(path_ + ".damaged"), c.text) << c.name << ": the old file is kept";
        EXPECT_EQ(Read(path_), header + "runonwinlogon dword 01000000\n") << c.name;
        unlink((path_ + ".damaged").c_str());
    }
    // Not a file at all.
    unlink(path_.c_str());
    mkdir(path_.c_str(), 0700);
    static StoredSettings in;
    EXPECT_FALSE(PlatLoadSettings(&in));
    EXPECT_FALSE(in.values[kStoredSaveData].present);
}

TEST_F(PosixSettings, AutostartFallsBackToAnXdgEntry) {
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);  // no user manager there
    EXPECT_EQ(PlatAutostartState(), kAutostartAbsent);
    EXPECT_TRUE(PlatSetAutostart(true));
    std::string entry = Read(PosixAutostartEntryPath());
    EXPECT_NE(entry.find("Exec=" + PosixAutostartCommand() + "\n"), std::string::npos) << entry;
    EXPECT_EQ(PlatAutostartState(), kAutostartOurs);
    EXPECT_TRUE(PlatSetAutostart(false));
    EXPECT_NE(access(PosixAutostartEntryPath().c_str(), F_OK), 0);
    EXPECT_EQ(PlatAutostartState(), kAutostartAbsent);
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
    EXPECT_TRUE(PlatNotify("VornaAgent", "\xd1\xe5\xf2\xfc"));  // CP1251 "Сеть"
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
    EXPECT_TRUE(PlatNotify("VornaAgent", "\xd1\xe5\xf2\xfc"));
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
        const char* names[] = {"nosavedata"};
        static PlatPolicyRecord record;
        PlatLoadPolicy(names, 1, &record);
        bool set = record.machine[0].type == kValueDword;
        EXPECT_EQ(set, c.nosavedata >= 0) << c.name;
        if (set) {
            EXPECT_EQ(record.machine[0].number, static_cast<uint32_t>(c.nosavedata)) << c.name;
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
    static StoredSettings in;
    EXPECT_FALSE(PlatLoadSettings(&in));
    alarm(0);
    EXPECT_FALSE(in.values[kStoredSaveData].present);
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

// A resume is a jump of the boot-time clock's lead over the monotonic one: the time slept.
TEST(PosixWorld, AJumpBetweenTheClocksIsAResume) {
    struct {
        const char* name;
        int64_t before, after;
        bool resume;
    } cases[] = {
        {"no change", 1000, 1000, false},
        {"scheduling noise", 1000, 1400, false},
        {"a short doze is not told apart", 1000, 5999, false},
        {"five seconds asleep", 1000, 6000, true},
        {"ten minutes asleep", 1000, 601000, true},
        {"the clocks drawing together", 601000, 1000, false},
    };
    for (const auto& c : cases) {
        gWorld.clear();
        PosixWorldClockGap(c.before);
        PosixWorldClockGap(c.after);
        EXPECT_EQ(gWorld.size(), c.resume ? 1u : 0u) << c.name;
        if (c.resume && !gWorld.empty()) {
            EXPECT_EQ(gWorld[0], kWorldResume) << c.name;
        }
    }
}
