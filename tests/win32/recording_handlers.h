// Handlers that only record how the window procedures called them.
#pragma once

#include <string>
#include <vector>

// One line per call, e.g. "OnCommand 108" or "OnSocketEvent 1234 connected refused".
extern std::vector<std::string> gHandlerCalls;
