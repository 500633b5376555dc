// A change in the world around the agent (a resume, an address that came or went). The core
// decides what it means; until it does, the platform's default only writes the debug line.
#pragma once

void OnWorldChange(const char* what);
