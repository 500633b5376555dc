// Dialog ids of the installer test's look-alike windows.
#pragma once

#define IDD_LOOKALIKE_AGENT 1
#define IDD_LOOKALIKE_FOREIGN 2
#define IDC_FOREIGN_OK 1001
