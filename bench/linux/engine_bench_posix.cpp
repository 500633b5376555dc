// engine_bench_posix: the Linux agent itself (its core, engine and POSIX platform in the real
// poll loop) logging on and then asking GETINFO after GETINFO, each started as soon as the one
// before has ended, timing each from its start to its reply handled. It takes the control
// socket's place in the loop, so nothing but the agent's own work is timed.
//
//   engine_bench_posix SITE_CONF LOGIN PASSWORD COUNT
//
// Prints "engine requests=N median_ms=.. p10_ms=.. mean_ms=.." and exits 0, or 1.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/agent_state.h"
#include "platform/events.h"
#include "platform/posix/conf_files.h"
#include "platform/posix/posix_internal.h"
#include "res/resource_ids.h"
#include "session/engine.h"

namespace {

const char* gLogin;
const char* gPassword;
int gCount = 0;
std::vector<double> gTimes;
double gStarted = -1;

double NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

// The loop's hooks, in place of the control socket: the first round logs on.
bool gLoggedOn = false;

void AfterRound() {
    if (!gLoggedOn) {
        gLoggedOn = true;
        CommandLogOn(gLogin, gPassword, false);
        return;
    }
    if (gAgent.connState != kIdle) return;
    if (gStarted >= 0) {
        gTimes.push_back(NowMs() - gStarted);
        gStarted = -1;
    }
    if (!gAgent.sessionActive || !gAgent.linkConfirmed) return;
    if (static_cast<int>(gTimes.size()) >= gCount) {
        PlatPostQuit(0);
        return;
    }
    gStarted = NowMs();
    OnCommand(IDM_INFO);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: engine_bench_posix SITE_CONF LOGIN PASSWORD COUNT\n");
        return 1;
    }
    std::string error;
    if (!LoadSiteConfig(argv[1], &error)) {
        fprintf(stderr, "engine: %s\n", error.c_str());
        return 1;
    }
    gLogin = argv[2];
    gPassword = argv[3];
    gCount = atoi(argv[4]);
    if (gCount < 1) {
        fprintf(stderr, "engine: COUNT must be at least 1\n");
        return 1;
    }
    char program[] = "engine_bench_posix";
    char* agentArgs[] = {program, nullptr};
    PosixAddRoundHooks({nullptr, nullptr, nullptr, AfterRound, nullptr});
    int code = AgentMain(1, agentArgs);
    if (code != 0 || static_cast<int>(gTimes.size()) < gCount) {
        fprintf(stderr, "engine: ended with %d after %zu requests\n", code, gTimes.size());
        return 1;
    }
    std::vector<double> sorted = gTimes;
    std::sort(sorted.begin(), sorted.end());
    double total = 0;
    for (double t : sorted)
        total += t;
    printf("engine requests=%d median_ms=%.3f p10_ms=%.3f mean_ms=%.3f\n", gCount,
           sorted[sorted.size() / 2], sorted[sorted.size() / 10], total / gCount);
    return 0;
}
