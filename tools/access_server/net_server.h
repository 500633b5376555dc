// The server's sockets: one poll() loop over the listener, the connections and the control
// inputs, so a slow or silent client never holds up another.
#pragma once

#include <cstdio>

#include <openssl/evp.h>

#include "tools/access_server/options.h"

// Sets up the listener (printing "listening ADDR:PORT"), then serves until quit, SIGINT or
// SIGTERM. Returns the process exit code.
int RunServer(ServerOptions* options, EVP_PKEY* key, FILE* log);
