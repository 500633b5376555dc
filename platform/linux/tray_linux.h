// The desktop face of the Linux agent (built with VORNA_TRAY): a StatusNotifierItem and its
// dbusmenu on the session bus, notifications over the same connection, and the dialog program
// (zenity or kdialog) for the logon form and the boxes. Nothing here is seen by the core.
#pragma once

#include <string>

#include <systemd/sd-bus.h>

#include "platform/platform.h"

// Opens the session bus, exports the item and joins the poll loop; without a session bus it does
// nothing and the agent runs as it does headless. Call once the agent owns the lock.
void LinuxTrayStart();

// ---- tray_linux.cpp ----
// The bus while it is up, else nullptr.
sd_bus* LinuxBus();
// A notification over the bus, replacing the agent's last one; the text goes to the output when
// no notification daemon answers. Agent text (CP1251).
void LinuxNotify(const char* title, const char* text);
// The text of an agent string as D-Bus carries it: UTF-8, markup characters escaped when `markup`.
std::string LinuxBusText(const char* agentText, bool markup);

// ---- dbusmenu_linux.cpp ----
const char kMenuPath[] = "/MenuBar";
// Exports the menu object on the bus.
bool LinuxMenuStart(sd_bus* bus);
// The core fills the menu as a click would (what is greyed, what is checked); true when that
// changed what the menu shows. With `announce` hosts are told to fetch the layout again.
bool LinuxMenuRefresh(bool announce);
// The menu items' part of the face.
bool LinuxMenuLoad();
void LinuxMenuCheck(int id, bool checked);
void LinuxMenuGray(int id, bool grayed);
void LinuxMenuShow();
// True on the round after the user chose Connect from the menu.
bool LinuxConnectChosen();
void LinuxMenuRoundEnded();

// ---- dialog_linux.cpp ----
// The logon form (or, when the user chose Connect and the credentials are remembered, the logon
// itself), a box, and the statistics when the window would be shown.
void LinuxDialogShowWindow(PlatWindowId which, bool visible);
void LinuxDialogStatistics();
void LinuxDialogBox(const char* text, const char* caption, PlatBoxKind kind);
// At the end of each round: a statistics text waiting for its request, finished boxes.
void LinuxDialogRoundEnded();
