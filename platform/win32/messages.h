// The main window's private messages: the tray icon's callback, the socket notifications and
// the address-list socket's notification.
#pragma once

const unsigned kMsgTrayCallback = 0x0400 + 1;    // WM_USER + 1
const unsigned kMsgSocketNotify = 0x0400 + 11;   // WM_USER + 11
const unsigned kMsgAddressChange = 0x0400 + 12;  // WM_USER + 12
