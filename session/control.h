// Session control: which request to send and when, and what each reply means.
#pragma once

void StartLogon();
void StartLogout();
// Logs off a session the server may still hold although the agent counts it lost, before a new
// logon replaces it; automatic reconnection stays as it is.
void StartStaleLogout();
void RequestStatistics();
// The PING timer's tick; it keeps ticking, only reply handling gives it a new period.
void SendPing();
void OnHover();
// The hover guard's timer: hovering may send a PING again.
void EndHoverGuard();
// The reconnect timer's tick: logs on again while nothing else is going on.
void ReconnectTick();
// Runs on the reply in ioBuffer while connState still names the request it answers.
void HandleReply();
