// Request frames: four fields, each RSA-encrypted into its own block of blockSize bytes.
#pragma once

#include <cstdint>

// The client's version code carried by every LOGON.
extern const char kClientVersionCode[];  // "253702"

// Encrypts the text (without its NUL) with the server key, PKCS#1 v1.5, into blockSize bytes.
void EncryptField(const char* text, uint8_t* destination);

// Writes the four blocks of a request into ioBuffer. For "LOGON" the third field follows the
// saved-block rule: useSavedPassword re-sends savedPasswordBlock, otherwise `field3` is
// encrypted and its block remembered in savedPasswordBlock.
void ComposeRequest(const char* verb, const char* field2, const char* field3, const char* field4);

// Parses the PEM key of the configuration block into serverKey and sets
// blockSize. Returns false when the text is not an RSA public key.
bool LoadServerKey(const char* pem);
// LOGOUT of the current session: "LOGOUT", login, session id, "VOID4".
void ComposeLogout();
