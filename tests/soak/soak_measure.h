// Measuring the agent from outside its process: handles and memory as Windows counts them,
// and (under Wine) the Linux process's own figures.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

struct Sample {
    DWORD handles = 0;
    SIZE_T workingSet = 0, privateBytes = 0;
    long rssKb = -1, anonKb = -1, vmSizeKb = -1, threads = -1, fds = -1;  // Linux view
};

// `unixPid` 0 leaves the Linux view at -1.
Sample Measure(HANDLE process, DWORD pid, int unixPid);
