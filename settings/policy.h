// The machine's policy on remembering credentials, set by an administrator under HKLM.
#pragma once

extern const char kPolicyKey[];          // "Software\\Policies\\Vorna\\AuthUtility"
extern const char kPolicyNoSaveValue[];  // "nosavedata"

// When the policy forbids remembering credentials: removes any stored login and password,
// writes "savedata" = 0, empties the logon fields LoadSettings filled, and unchecks and greys
// check box 107, so nothing can be remembered in this run. Run after LoadSettings.
void ApplyRememberPolicy();
