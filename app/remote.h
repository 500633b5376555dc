// The control protocol of the agents without windows (the Linux agent's control socket): one
// request line in, one answer out. Each request runs the command its window or menu counterpart
// runs and says whether its answer is ready or has to wait for the request it started; answers
// are made from the core's view. Texts are the agent's own (CP1251) both ways.
#pragma once

#include <cstddef>

// Exit codes of the command-line client; the answers carry them.
const int kExitOk = 0;
const int kExitUsage = 1;   // bad command line, bad configuration, the agent could not start
const int kExitFailed = 2;  // the agent refused or the request failed; the text says why
const int kExitNoAgent = 3;

enum RemoteWait {
    kRemoteAnswered,  // the answer is ready
    kRemoteWaitIdle,  // the request under way has to end first
    kRemoteWaitExit,  // the agent is exiting: answered when the loop ends
};

enum RemoteRequest { kRemoteNone, kRemoteLogon, kRemoteLogout, kRemoteInfo };

struct RemoteAnswer {
    int code;
    RemoteWait wait;
    RemoteRequest request;
    bool remember;  // a logon that asked for the credentials to be remembered
    char text[4096];
};

// `line` holds the command and its arguments separated by tabs (changed in place).
void RemoteHandle(char* line, RemoteAnswer* answer);
// For an answer that waits: true (and the answer filled in) once its request has ended;
// `quitPosted` says whether the loop ends after this round.
bool RemoteCheck(RemoteAnswer* answer, bool quitPosted);
// The answer of a client that waited for the exit.
void RemoteExitAnswer(int exitCode, RemoteAnswer* answer);
