// Process start-up, bring-up and the options pass.
#pragma once

// True when argument 1, or argument 2 of at least two, is "--debug".
bool DebugSwitchGiven(int argc, char** argv);
// Creates the windows, restores the settings, applies the options, adds the tray icon and
// starts the first logon or shows the logon window. Returns 0, or the exit code on failure.
int AgentBringUp(int argc, char** argv);
// Reads the server's key from the block and allocates the buffers its size calls for. False,
// with the exit code in *code, once the user has been told why it failed.
bool LoadKeyAndBuffers(int* code);
// The options pass from argument 1 while arguments begin with '-'. Returns the kOption* bits of
// the options that changed a setting a policy may also set.
const int kOptionAddress = 1;
int ApplyOptions(int argc, char** argv);
// The first line of any debug output.
extern const char kDebugHeader[];
