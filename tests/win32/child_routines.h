// Routines the test exe runs in a child copy of itself, for what needs a fresh process
// (its standard handles, its console).
#pragma once

#include <string>

// The exit code of the routine `name`; 100 for an unknown name.
int RunChildRoutine(const char* name);

// Runs this exe with "--child NAME", standard output going to `outputPath` (no standard
// handles at all when it is empty), with no console. Returns the exit code, or -1 when the
// child did not start or did not end within `timeoutMs` (it is then killed).
int RunChild(const char* name, const std::string& outputPath, unsigned timeoutMs);

// Exit codes of the debug-output routines.
const int kChildHasConsole = 10;
const int kChildHasNoConsole = 11;
