// Every resource, control, command and icon id of the agent.
// Included by the resource script and by the C++ code, so keep it preprocessor-only.
#pragma once

// ---- Logon window (also the main window) ----
#define IDD_LOGON 104
#define IDC_LOGIN 105
#define IDC_PASSWORD 106
#define IDC_REMEMBER 107
#define IDC_CONNECT 108
#define IDC_HIDE 109

// ---- Statistics window ----
#define IDD_STATS 200
#define IDC_STATS_ICON 201
#define IDC_STATS_OK 203
#define IDC_STATS_TEXT 904

// ---- Tray menu ----
#define IDM_TRAY 4000
#define IDM_CONNECT 4011
#define IDM_DISCONNECT 4012
#define IDM_INFO 4013
#define IDM_AUTORUN 4014
#define IDM_EXIT 4015
#define IDM_ABOUT 4017

// ---- Status icons ----
#define IDI_CONNECTED 300
#define IDI_NET_ERROR 301  // not IDI_ERROR: winuser.h has a system icon of that name
#define IDI_PROGRESS 302
#define IDI_BLOCKED 304
#define IDI_LIMIT 305
#define IDI_DISCONNECTED 306

// Labels and the frame are never addressed.
#define IDC_UNUSED (-1)
