// Notifications of the world outside the agent: address-list changes on a socket of their own.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include "platform/win32/messages.h"

// The main window got kMsgAddressChange: arms the watch again and tells the core.
void OnAddressListMessage(LPARAM lParam);
