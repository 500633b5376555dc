#include "session/cause.h"

#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "core/text.h"
#include "session/engine.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

bool Connecting(int connState) {
    return connState == kLogonConnecting || connState == kLogoutConnecting ||
           connState == kPingConnecting || connState == kInfoConnecting;
}

// The protocol's replies begin with a code digit; a web server's with "HTTP/" or "<".
bool LooksLikeServerReply(const char* reply) { return reply[0] >= '0' && reply[0] <= '3'; }

bool ServerOnLoopback() {
    char address[kAddressSize], port[kPortSize + 1];
    ServerEndpoint(address, port);
    return strncmp(address, "127.", 4) == 0;
}

// Causes that no address at all explains better: the request never met a server.
bool OnTheWire(FailCause cause) {
    return cause != kCauseNotAccessServer && cause != kCauseRefused && cause != kCauseNone;
}

}  // namespace

FailCause CauseOfSocketError(PlatNetError error, int connState) {
    switch (error) {
        case kNetUnreachable: return kCauseNoNetwork;
        case kNetHostUnreachable: return kCauseNoRoute;
        case kNetRefused: return kCausePortClosed;
        case kNetReset: return kCauseReset;
        case kNetTimedOut: return Connecting(connState) ? kCauseConnectTimeout : kCauseReplyTimeout;
        case kNetOk:
        case kNetOther: break;
    }
    // An error the system does not name: before the connection there was no way to the
    // server, after it the connection broke.
    return Connecting(connState) ? kCauseNoRoute : kCauseReset;
}

FailCause CauseOfTimeout(int connState, const char* reply, int length) {
    if (Connecting(connState)) return kCauseConnectTimeout;
    if (length > 0 && !LooksLikeServerReply(reply)) return kCauseNotAccessServer;
    return kCauseReplyTimeout;
}

void NoteFailureCause(FailCause cause, const char* words) {
    if (OnTheWire(cause) && !ServerOnLoopback() && !PlatHasNetworkAddress())
        cause = kCauseNoNetwork;
    AccountView& view = gAgent.view;
    view.cause = cause;
    if (cause == kCauseRefused) {
        char text[kCauseTextSize];
        snprintf(text, sizeof text, "%s: %s", kCauseTexts[cause], words ? words : "");
        for (char* c = text; *c != '\0'; c++)
            if (*c == '\n' || *c == '\r') *c = ' ';
        CopyBounded(view.causeText, sizeof view.causeText, text);
    } else {
        CopyBounded(view.causeText, sizeof view.causeText, kCauseTexts[cause]);
    }
    DebugPrint(VORNA_CAUSE_LINE_FORMAT, kCauseCodes[cause], view.causeText);
    gAgent.statsTellsState = true;
}

void ClearFailureCause(const char* state, bool settled) {
    gAgent.view.cause = kCauseNone;
    gAgent.view.causeText[0] = '\0';
    if (gAgent.statsTellsState && state != nullptr) ShowStatsText(state);
    if (settled) gAgent.statsTellsState = false;
}
