// The system's answer to "how much memory can this process still get": the
// one system-specific function of the plug-ins.
#include "memory.h"

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
#elif defined(__APPLE__)
#include <mach/mach.h>
#include <sys/sysctl.h>
#endif

namespace regkern {

namespace {

double system_available_memory_bytes()
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
#elif defined(_WIN32)
    // What can still be committed: free memory plus free page file, the
    // limit at which Windows refuses an allocation.
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return -1;
    return static_cast<double>(status.ullAvailPageFile);
#elif defined(__APPLE__)
    // Pages free or reclaimable without writing them out (inactive,
    // purgeable, speculative), plus free swap.
    vm_statistics64_data_t pages;
    mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
    const mach_port_t host = mach_host_self();
    vm_size_t page_size = 0;
    const bool known =
        host_statistics64(host, HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&pages),
                          &count) == KERN_SUCCESS &&
        host_page_size(host, &page_size) == KERN_SUCCESS;
    mach_port_deallocate(mach_task_self(), host);
    if (!known) return -1;
    const double reclaimable = static_cast<double>(pages.free_count) + pages.inactive_count +
                               pages.purgeable_count + pages.speculative_count;
    xsw_usage swap{};
    size_t swap_size = sizeof swap;
    const double swap_free =
        sysctlbyname("vm.swapusage", &swap, &swap_size, nullptr, 0) == 0 ? swap.xsu_avail : 0;
    return reclaimable * static_cast<double>(page_size) + swap_free;
#else
    return -1;
#endif
}

}  // namespace

// REGKERN_AVAILABLE_MEMORY (a count of bytes, e.g. 4e6) lowers the figure,
// so that the tests meet the memory checks and the worker caps at the
// sizes they choose, the same on every machine. It never raises it: a
// stray setting can only refuse calls, not let one promise pages the
// machine does not have. Anything but a number of at least 0 is ignored.
double available_memory_bytes()
{
    const double system = system_available_memory_bytes();
    const char* text = std::getenv("REGKERN_AVAILABLE_MEMORY");
    if (!text) return system;
    char* end = nullptr;
    const double set = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(set >= 0)) return system;
    return system >= 0 && system < set ? system : set;
}

}  // namespace regkern
