// How much memory the machine can still give, so that an output or scratch
// array far beyond it is refused with a clear error instead of letting the
// operating system kill the whole host session when the pages are touched.
#pragma once

#include <cstdio>
#include <string>

#include "failure.h"

namespace regkern {

// Bytes the system reports as available to a new allocation (Linux:
// MemAvailable plus free swap; Windows: what can still be committed; macOS:
// free and reclaimable pages plus free swap); a negative value when it cannot
// tell. Defined in memory.cpp, the only system-specific code here. The
// environment variable REGKERN_AVAILABLE_MEMORY (bytes) lowers the figure,
// for the tests (docs/development.md).
double available_memory_bytes();

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
