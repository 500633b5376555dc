// The main window's private messages: the tray icon's callback and the socket notifications.
#pragma once

const unsigned kMsgTrayCallback = 0x0400 + 1;   // WM_USER + 1
const unsigned kMsgSocketNotify = 0x0400 + 11;  // WM_USER + 11
