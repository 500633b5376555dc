// The control protocol of the agents without windows (the Linux agent's control socket): one
// request line in, one answer out. Each request runs the command its window or menu counterpart
// runs and says whether its answer is ready or has to wait for the request it started; answers
// are made from the core's view. Texts are the agent's own (CP1251) both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// ---- One client of the control socket, apart from the socket ----

const size_t kMaxRequest = 1024;           // a request line's longest length, in bytes
const uint32_t kRequestDeadlineMs = 5000;  // the whole line must come within this

struct ControlClient {
    char request[kMaxRequest + 1];
    size_t length;
    uint32_t deadline;  // on the PlatNowMs clock
    bool waiting;       // the request runs; its answer waits for the outcome
    RemoteAnswer answer;
};

// A new client, connected at `now`.
void ControlOpen(ControlClient* client, uint32_t now);
// Where the next bytes go and how many fit; 0 while a request is running.
size_t ControlRoom(ControlClient* client, char** at);
// `count` bytes arrived where ControlRoom said; true when the answer is ready (a request line
// longer than kMaxRequest, not UTF-8, or one that was answered at once).
bool ControlReceived(ControlClient* client, size_t count);
// After every round of the loop: true once the answer is ready (the request ended, or the line
// did not come in time).
bool ControlCheck(ControlClient* client, uint32_t now, bool quitPosted);
// The loop ends: a client still there gets its own answer, if its request ended in this last
// round, or the exit's.
void ControlExit(ControlClient* client, int exitCode);
// What is sent back: the exit code on the first line, then the text, in UTF-8.
std::string ControlReply(const ControlClient& client);
