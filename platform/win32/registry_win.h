// The settings store behind PlatLoadSettings and PlatSaveSettings, at a key of the caller's
// choosing under HKEY_CURRENT_USER (the agent's own key, or a test's scratch key).
#pragma once

#include "core/account_view.h"

// Reads the stored values from key `path` (agent text), creating the key if it is absent;
// false when it cannot be opened.
bool LoadSettingsAt(const char* path, StoredSettings* settings);
// Writes and deletes as marked under key `path`: savedata, then login and pass, then the rest;
// false when the key cannot be opened or any write or delete did not take.
bool SaveSettingsAt(const char* path, const StoredSettings& settings);
// The policy values of key `path` (agent text), as PlatLoadPolicy reads the agent's own key.
void LoadPolicyAt(const char* path, const char* const* names, int count, PlatPolicyRecord* record);
