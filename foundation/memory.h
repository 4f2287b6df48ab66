// How much memory the machine can still give, so that an output or scratch
// array far beyond it is refused with a clear error instead of letting the
// operating system kill the whole host session when the pages are touched.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "failure.h"

namespace regkern {

// Bytes the system reports as available (Linux: MemAvailable plus free
// swap); a negative value when it cannot tell.
inline double available_memory_bytes()
{
#if defined(__linux__)
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return -1;
    char line[256];
    double available_kb = -1, swap_free_kb = 0;
    while (std::fgets(line, sizeof line, f)) {
        double kb = 0;
        if (std::sscanf(line, "MemAvailable: %lf kB", &kb) == 1) available_kb = kb;
        if (std::sscanf(line, "SwapFree: %lf kB", &kb) == 1) swap_free_kb = kb;
    }
    std::fclose(f);
    return available_kb < 0 ? -1 : (available_kb + swap_free_kb) * 1024.0;
#else
    return -1;
#endif
}

// Fails with outOfMemory when `bytes` exceed what the system has available;
// the message says what needs them and how to need less (`fix`).
inline void require_available_memory(double bytes, const std::string& what, const char* fix)
{
    const double available = available_memory_bytes();
    if (available >= 0 && bytes > available) {
        char text[160];
        std::snprintf(text, sizeof text, " needs %.1f GB, more than the %.1f GB available; ",
                      bytes / 1e9, available / 1e9);
        fail("outOfMemory", what + text + fix);
    }
}

}  // namespace regkern
