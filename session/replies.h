// The server's replies, parsed apart from what the agent does with them or shows. Each parser
// cuts the NUL-terminated reply text in place and points into it; nothing else is touched.
#pragma once

// LOGON: "<code> <session id> [<seconds>]" for the codes '1' and '3', "<code> <reason>" for the
// others. Fields are separated by runs of spaces.
struct LogonReply {
    char code;            // the first byte; '\0' for an empty reply
    const char* session;  // codes '1' and '3': the session id, "" when missing
    int seconds;          // code '3': the PING interval asked for (atoi), otherwise 0
    const char* reason;   // other codes: everything after the code and its spaces
};
LogonReply ParseLogonReply(char* reply);

// PING: the code; with code '1' "<code> <balance> <cost> <status digits><spaces><message>",
// the first three fields each cut at exactly one space (an empty field stays empty).
struct PingReply {
    char code;
    const char* text;     // code '0': everything after the code byte
    const char* balance;  // code '1' from here on
    const char* cost;
    int limitState;       // the last of the status digits '0', '1', '2' given, in that order
    bool statusGiven;     // whether any status digit was given
    const char* message;  // the server's message, "" for none
};
PingReply ParsePingReply(char* reply);

// GETINFO: the text after the code and one separator; `length` is the reply's byte count.
const char* ParseInfoReply(const char* reply, int length);
