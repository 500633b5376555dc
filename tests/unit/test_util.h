// Shared steps of the core tests.
#pragma once

#include <string>

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
