// The one run-time choice of vector arithmetic for every family: which
// instruction sets this processor (and its operating system) runs, the
// attribute that compiles a function for one of them, and the one override
// tests use to run the slower paths too. Every path gives the same bits as
// the portable one, so the choice changes only the speed.
//
// Each vector function names its instruction set (REGKERN_SSE2,
// REGKERN_AVX2, REGKERN_AVX512) and may only run where vector_path() allows
// it. GCC and clang need the attribute to compile the intrinsics; Microsoft's
// compiler compiles every intrinsic in any function and reads it as nothing.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define REGKERN_X86_VECTORS 1
#include <immintrin.h>
#if defined(_MSC_VER) || defined(__MINGW32__)
#include <intrin.h>
#define REGKERN_CPUID_INTRINSICS 1  // __cpuidex and _xgetbv
#endif
#endif

// GCC and clang need a function's instruction set to compile its
// intrinsics; Microsoft's compiler compiles any intrinsic anywhere and has
// no such attribute. (scripts/check_msvc_syntax.sh defines it empty itself,
// to compile the code as Microsoft's compiler sees it.)
#ifndef REGKERN_TARGET
#if defined(_MSC_VER) && !defined(__clang__)
#define REGKERN_TARGET(isa)
#else
#define REGKERN_TARGET(isa) __attribute__((target(isa)))
#endif
#endif

#if defined(__GNUC__) || defined(__clang__)
// Inlines everything a path's entry calls into it, so that its lane
// operations are compiled for its instruction set and kept in registers.
#define REGKERN_FLATTEN __attribute__((flatten))
#define REGKERN_PRAGMA(text) _Pragma(#text)
// A loop-unrolling hint that other compilers read as nothing.
#define REGKERN_UNROLL(n) REGKERN_PRAGMA(GCC unroll n)
#else
#define REGKERN_FLATTEN
#define REGKERN_UNROLL(n)
#endif

#define REGKERN_SSE2 REGKERN_TARGET("sse2")
#define REGKERN_AVX2 REGKERN_TARGET("avx2")
#define REGKERN_AVX512 REGKERN_TARGET("avx512f,avx512vl,avx2")

namespace regkern {

enum class VectorPath { portable = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

inline const char* vector_path_name(VectorPath path)
{
    switch (path) {
    case VectorPath::portable: return "portable";
    case VectorPath::sse2: return "SSE2";
    case VectorPath::avx2: return "AVX2";
    case VectorPath::avx512: return "AVX-512";
    }
    return "?";
}

#ifdef REGKERN_CPUID_INTRINSICS
// The widest path by the processor's own answers (cpuid) and the operating
// system's (xgetbv: which register state it saves on a thread switch): the
// detection for Microsoft's compiler (and clang for its targets), which has
// no __builtin_cpu_supports. xgetbv runs only where cpuid reports it
// (OSXSAVE).
REGKERN_TARGET("xsave") inline VectorPath cpuid_vector_path()
{
    int r[4];  // eax, ebx, ecx, edx
    __cpuidex(r, 0, 0);
    const int max_leaf = r[0];
    __cpuidex(r, 1, 0);
    const bool sse2 = (r[3] >> 26) & 1;
    const bool osxsave = (r[2] >> 27) & 1, avx = (r[2] >> 28) & 1;
    const unsigned long long xcr0 = osxsave ? _xgetbv(0) : 0;
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;     // XMM and YMM state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;   // and the opmask and ZMM state
    bool avx2 = false, avx512f = false, avx512vl = false;
    if (max_leaf >= 7) {
        __cpuidex(r, 7, 0);
        avx2 = (r[1] >> 5) & 1;
        avx512f = (r[1] >> 16) & 1;
        avx512vl = (static_cast<unsigned>(r[1]) >> 31) & 1;
    }
    if (avx && avx2 && avx512f && avx512vl && zmm_saved) return VectorPath::avx512;
    if (avx && avx2 && ymm_saved) return VectorPath::avx2;
    if (sse2) return VectorPath::sse2;
    return VectorPath::portable;
}
#endif

// The widest path this processor runs; the one place that asks it.
inline VectorPath fastest_vector_path()
{
#if defined(REGKERN_X86_VECTORS) && (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
    // (These checks include the operating system's support for the wider
    // registers. clang for MSVC targets has no run-time library for them.)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return VectorPath::avx512;
    if (__builtin_cpu_supports("avx2")) return VectorPath::avx2;
    if (__builtin_cpu_supports("sse2")) return VectorPath::sse2;
    return VectorPath::portable;
#elif defined(REGKERN_CPUID_INTRINSICS)
    return cpuid_vector_path();
#else
    return VectorPath::portable;
#endif
}

// The widest path a call may take: a test lowers it to run the slower paths
// on a processor that has faster ones.
inline VectorPath& vector_path_limit()
{
    static VectorPath limit = VectorPath::avx512;
    return limit;
}

// The path a call takes: the fastest the processor runs, within the limit.
inline VectorPath vector_path()
{
    static const VectorPath fastest = fastest_vector_path();
    return fastest < vector_path_limit() ? fastest : vector_path_limit();
}

}  // namespace regkern
