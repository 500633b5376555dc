// Why a request failed, decided from what the engine saw of it, kept in the view for every front
// end, and gone again with the next success.
#pragma once

#include "core/account_view.h"
#include "platform/events.h"

// A socket error during the request stage `connState`.
FailCause CauseOfSocketError(PlatNetError error, int connState);
// The request timer ran out in `connState` with `length` bytes of `reply` received.
FailCause CauseOfTimeout(int connState, const char* reply, int length);

// Records the cause of a failure being reported and writes its debug line; `words` are the
// server's for kCauseRefused. A failure on the wire while the machine has no address other than
// loopback is no_network (unless the server itself is on loopback).
void NoteFailureCause(FailCause cause, const char* words);
// A logon accepted or a PING answered '1': the cause is gone, and a statistics text that tells of
// a failure (or of the logon after one) gives way to `state` (nullptr: leaves it). `settled`:
// the statistics text is the session's own again (a PING answered '1').
void ClearFailureCause(const char* state, bool settled);
