// Output for site support: the --log option and the lines that say which agent, server and key
// this run uses, so that a wrong key is not mistaken for a network failure.
#pragma once

// The word after the first "--log" on the command line, or nullptr.
const char* LogOptionPath(int argc, char** argv);

// The version, the server address and port in use, and the key's size and SHA-256 fingerprint
// (the one `vorna_config show` prints), as debug lines.
void PrintStartLines();
