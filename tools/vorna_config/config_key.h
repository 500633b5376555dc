// The server key as the configuration block holds it.
#pragma once

#include <string>

struct BlockKey {
    std::string pem;  // the block's form: 64-character lines, "\n", no final line end
    int bits = 0;
    std::string fingerprint;
};

// From any PEM an admin has (public key, PKCS#1 public key, certificate, private key): an RSA
// key of at least 1024 bits whose block form fits the field.
bool BlockKeyFromPem(const std::string& anyPem, BlockKey* key, std::string* error);

// Reads the key text of a block back with OpenSSL; false if it is not an RSA public key or not
// written in the block's form.
bool CheckBlockKey(const std::string& blockPem, BlockKey* key, std::string* error);

// The keys whose private halves ship with the sources (the agent's built-in key and the tests'
// keys): a block holding one is fit for tests only.
bool IsPublishedTestKey(const std::string& fingerprint);
