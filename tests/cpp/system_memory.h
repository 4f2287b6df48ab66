// The system's own figures for free memory, read the way its tools read them,
// to hold the plug-ins' figure (foundation/memory.cpp) against: bounds it
// must lie between, or nothing where the system gives no such reading here.
#pragma once

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace system_memory {

struct Bounds {
    bool known = false;
    double at_least = 0;  // bytes available for certain, at the time of reading
    double at_most = 0;   // bytes there are at all (memory and swap or page file)
};

inline Bounds read()
{
    Bounds b;
#if defined(__linux__)
    // free(1)'s "available" column, and the totals.
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return b;
    char line[256];
    double available = -1, total = -1, swap_total = 0;
    while (std::fgets(line, sizeof line, f)) {
        double kb = 0;
        if (std::sscanf(line, "MemAvailable: %lf kB", &kb) == 1) available = kb;
        if (std::sscanf(line, "MemTotal: %lf kB", &kb) == 1) total = kb;
        if (std::sscanf(line, "SwapTotal: %lf kB", &kb) == 1) swap_total = kb;
    }
    std::fclose(f);
    if (available < 0 || total < 0) return b;
    b.known = true;
    b.at_least = available * 1024.0;
    b.at_most = (total + swap_total) * 1024.0;
#elif defined(_WIN32)
    // What can still be committed can be less than the free physical memory
    // (memory committed but not yet touched): only the commit figures bound it.
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return b;
    b.known = true;
    b.at_least = static_cast<double>(status.ullAvailPageFile);
    b.at_most = static_cast<double>(status.ullTotalPageFile);
#endif
    return b;
}

// Makes the plug-ins' memory checks (foundation/memory.cpp) see at most
// `bytes` available while the object lives: REGKERN_AVAILABLE_MEMORY.
struct AvailableMemory {
    explicit AvailableMemory(double bytes)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", bytes);
#if defined(_WIN32)
        _putenv_s("REGKERN_AVAILABLE_MEMORY", text);
#else
        setenv("REGKERN_AVAILABLE_MEMORY", text, 1);
#endif
    }
    ~AvailableMemory()
    {
#if defined(_WIN32)
        _putenv_s("REGKERN_AVAILABLE_MEMORY", "");
#else
        unsetenv("REGKERN_AVAILABLE_MEMORY");
#endif
    }
    AvailableMemory(const AvailableMemory&) = delete;
    AvailableMemory& operator=(const AvailableMemory&) = delete;
};

}  // namespace system_memory
