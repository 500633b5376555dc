// The Linux agent's settings file as text: a header line, then one "NAME TYPE HEX" line per
// value (type string, binary, dword or none; a dword is four bytes). Parsing is strict: anything
// else is a damaged file. Kept apart from the file itself so that tests and fuzzers can feed it.
#pragma once

#include <string>

#include "core/account_view.h"

// Fills `settings` with the values of `text`; false (and nothing filled) for a damaged text.
bool ParseSettingsText(const std::string& text, StoredSettings* settings);
// The text of the values `settings` holds (present ones), after applying its kStoredWrite and
// kStoredDelete actions.
std::string SettingsText(const StoredSettings& settings);
// Applies the actions of `change` to `stored`; true when that changed anything.
bool ApplySettingsChange(const StoredSettings& change, StoredSettings* stored);
