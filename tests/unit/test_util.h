// Shared steps of the core tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/agent_state.h"
#include "core/timings.h"
#include "platform/events.h"
#include "res/resource_ids.h"
#include "session/engine.h"
#include "tests/fake/fake_platform.h"

// An accepted logon as the user would start it, answered with `reply`.
inline void LogOn(const std::string& reply = "1 57", const char* login = "user",
                  const char* password = "secret") {
    fake::world.texts[{fake::kLogonWindow, IDC_LOGIN}] = login;
    fake::world.texts[{fake::kLogonWindow, IDC_PASSWORD}] = password;
    OnCommand(IDC_CONNECT);
    fake::Serve(reply);
}

// Fires the PING timer and answers the PING it sends.
inline void PingAnswered(const std::string& reply) {
    fake::Advance(fake::TimerPeriod(kTimerPing));
    fake::Serve(reply);
}

// The decrypted fields of the frame sent on socket `s` (the current one by default).
inline std::string Field(int index, PlatSocket s = 0) {
    return fake::DecryptBlock(fake::Socket(s).sent, index);
}

// A command line as AgentMain and the options pass take it (argument 0 is the program).
struct Args {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w)) {
        for (auto& word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char** data() { return argv.data(); }
};
