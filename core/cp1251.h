// Text between UTF-8 (sources, terminals, logs) and CP1251 (the agent's wire text).
#pragma once

#include <string>

// Every byte becomes one character; 0x98, which CP1251 leaves unassigned, becomes U+FFFD.
std::string Cp1251ToUtf8(const std::string& bytes);

// False, with the reason in `error`, for malformed UTF-8 or a character CP1251 lacks.
bool Utf8ToCp1251(const std::string& text, std::string* bytes, std::string* error);

// A text given by a person (command line, scenario file, control command): UTF-8 with the
// escapes \n \r \t \\ and \xHH, the last giving one raw byte that is not converted.
bool DecodeTextArgument(const std::string& text, std::string* bytes, std::string* error);
