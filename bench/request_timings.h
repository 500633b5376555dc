// Request timings of the benchmark's programs: each request timed with the performance counter,
// all of them printed as the one line of figures bench.py reads:
//   KIND requests=N mean_ms=.. median_ms=.. p10_ms=.. p90_ms=.. min_ms=..
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

inline LARGE_INTEGER TimingNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

inline double TimingMs(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

inline void PrintTimings(const char* kind, std::vector<double> ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms)
        sum += v;
    printf("%s requests=%zu mean_ms=%.3f median_ms=%.3f p10_ms=%.3f p90_ms=%.3f min_ms=%.3f\n",
           kind, ms.size(), sum / static_cast<double>(ms.size()), ms[ms.size() / 2],
           ms[ms.size() / 10], ms[ms.size() * 9 / 10], ms.front());
}
