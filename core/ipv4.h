#pragma once

#include <string>

// Four decimal octets 0-255 separated by dots, without leading zeros ("010" would be octal to
// the agent's address conversion) and without anything around them.
bool IsDottedIpv4(const std::string& text);
// A dotted address a server can have: not "any" (0.0.0.0, which reaches the local host) and
// not the broadcast address.
bool IsServerAddress(const std::string& text);

// Decimal digits only, value within [low, high]; no sign, no spaces, at most 15 digits.
bool ParseDecimal(const std::string& text, long long low, long long high, long long* value);
