// What the tools' fuzz targets share: the fixture keys and a check that stops the run.
#pragma once

#include <string>

#include "tools/common/rsa_keys.h"

namespace fuzz {

// The fixture's private key by file name ("test_key_1024.pem"), read once.
EVP_PKEY* FixtureKey(const char* name);
// The fixture file's text, read once per name.
const std::string& FixtureText(const char* name);

// Aborts with `what` when `ok` is false; libFuzzer then saves the input as a crash.
void Require(bool ok, const std::string& what);

}  // namespace fuzz
