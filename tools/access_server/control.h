// Commands that change a running server, one per line, from stdin or the control port.
#pragma once

#include <string>

#include "tools/access_server/session.h"

enum ControlResult { kControlOk, kControlError, kControlQuit };

// Applies one line. `detail` says what was done, or why nothing was; the caller logs it.
ControlResult ApplyControlCommand(ServerState* state, const std::string& line, std::string* detail);
