// Session control: which request to send and when, and what each reply means.
#pragma once

void StartLogon();
void StartLogout();
void RequestStatistics();
void SendPing();
void OnHover();
// Runs on the reply in ioBuffer while connState still names the request it answers.
void HandleReply();
