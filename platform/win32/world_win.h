// Notifications of the world outside the agent: address-list changes on a socket of their own.
#pragma once

#include <winsock2.h>

#include <windows.h>

// Private window message of the main window for the address-list socket.
const UINT kMsgAddressChange = WM_USER + 12;

// The main window got kMsgAddressChange: arms the watch again and tells the core.
void OnAddressListMessage(LPARAM lParam);
