// Limiting the address space of a child process: how the fault tests make an
// allocation fail. Needs fork and setrlimit, and a system that enforces
// RLIMIT_AS; the only system-specific code of the tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define REGKERN_ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define REGKERN_ADDRESS_SANITIZED 1
#endif
#endif

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#define REGKERN_HAS_RLIMIT 1
#endif

namespace address_limit {

// Bytes of address space this process uses now; -1 when unknown.
inline long long in_use()
{
#if defined(REGKERN_HAS_RLIMIT)
    long long pages = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (std::fscanf(f, "%lld", &pages) != 1) pages = -1;
    std::fclose(f);
    return pages < 0 ? -1 : pages * sysconf(_SC_PAGESIZE);
#else
    return -1;
#endif
}

// Caps this process's address space at `bytes`; false when refused.
inline bool cap(long long bytes)
{
#if defined(REGKERN_HAS_RLIMIT)
    const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    return setrlimit(RLIMIT_AS, &limit) == 0;
#else
    (void)bytes;
    return false;
#endif
}

// Why the address space of a child cannot be limited here, or "" when it
// can. The limit is probed, not trusted: qemu-user accepts RLIMIT_AS and then
// ignores it, so a child checks that an allocation far over its limit fails.
inline std::string unavailable()
{
#if defined(REGKERN_ADDRESS_SANITIZED)
    return "sanitizers reserve address space beyond any useful limit";
#elif !defined(REGKERN_HAS_RLIMIT)
    return "this system has no fork and setrlimit";
#else
    static const std::string reason = [] {
        if (in_use() < 0) return std::string("the address space in use cannot be read here");
        const pid_t child = fork();
        if (child < 0) return std::string("fork failed");
        if (child == 0) {
            if (!cap(in_use() + (64LL << 20))) _exit(2);
            void* block = std::malloc(size_t(1) << 30);
            _exit(block ? 3 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::string();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3)
            return std::string("RLIMIT_AS is accepted but not enforced here (as under an emulator)");
        return std::string("setrlimit(RLIMIT_AS) is refused here");
    }();
    return reason;
#endif
}

}  // namespace address_limit
