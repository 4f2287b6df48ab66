// Which form of the four-lane arithmetic (lanes.h) a call uses: the widest
// the processor has. Every form gives the same bits, so the choice changes
// only the speed; the tests run each form the machine supports.
#pragma once

#include "lanes.h"

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

// The widest path this processor runs; the one place that asks the
// processor.
inline VectorPath fastest_vector_path()
{
#ifdef REGKERN_X86_LANES
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return VectorPath::avx512;
    if (__builtin_cpu_supports("avx2")) return VectorPath::avx2;
    if (__builtin_cpu_supports("sse2")) return VectorPath::sse2;
#endif
    return VectorPath::portable;
}

}  // namespace regkern
