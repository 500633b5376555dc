// Process start-up, bring-up and the options pass.
#pragma once

// True when argument 1, or argument 2 of at least two, is "--debug".
bool DebugSwitchGiven(int argc, char** argv);
// Creates the windows, restores the settings, applies the options, adds the tray icon and
// starts the first logon or shows the logon window. Returns 0, or the exit code on failure.
int AgentBringUp(int argc, char** argv);
// Loads the six status icons into the state.
void LoadStatusIcons();
// Reads the server's key from the block and allocates the buffers its size calls for. Returns
// -1 when done, else the exit code once the user has been told why.
int LoadKeyAndBuffers();
// The options pass from argument 1 while arguments begin with '-'. Returns the kOption* bits of
// the options that changed a setting a policy may also set.
const int kOptionAddress = 1;
int ApplyOptions(int argc, char** argv);
// The first line of any debug output.
extern const char kDebugHeader[];
