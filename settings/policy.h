// The machine's policy on remembering credentials, set by an administrator.
#pragma once

// When the policy forbids remembering credentials: removes any stored login and password,
// writes "savedata" = 0, empties the logon form LoadSettings filled, and unchecks and greys its
// remember box, so nothing can be remembered in this run. Run after LoadSettings.
void ApplyRememberPolicy();
