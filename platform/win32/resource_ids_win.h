// The agent's resource ids for Win32 code. winuser.h names a system icon IDI_ERROR, which the
// agent never uses; the agent's own error icon of that name wins here.
#pragma once

#include <windows.h>

#undef IDI_ERROR
#include "res/resource_ids.h"
