// Every vector path of every plug-in, compiled as one unit: for the syntax
// check for Microsoft's compiler (check_msvc_syntax.sh), which must see
// each path's code (none of it left out by the preprocessor), and, built
// with MinGW-w64 and run under wine, to print the path the cpuid detection
// (the one Microsoft's compiler gets) picks next to the one this build's
// own detection picks.
#include <cstdio>

#include "dispinvert_slab.h"
#include "jointbins.h"
#include "vector_path.h"

#ifndef REGKERN_X86_VECTORS
#error "the x86-64 vector paths are left out"
#endif
#if defined(_WIN32) && !defined(REGKERN_CPUID_INTRINSICS)
#error "the cpuid detection is left out"
#endif

namespace regkern {
namespace detail {
#define REGKERN_EVERY_PATH(T, N, ORDER)                                                       \
    template void invert_slab_portable<T, N, KernelOrder::ORDER>(const InversionSlab<T, N>&); \
    template void invert_slab_sse2<T, N, KernelOrder::ORDER>(const InversionSlab<T, N>&);     \
    template void invert_slab_avx2<T, N, KernelOrder::ORDER>(const InversionSlab<T, N>&);     \
    template void invert_slab_avx512<T, N, KernelOrder::ORDER>(const InversionSlab<T, N>&);
REGKERN_EVERY_PATH(double, 3, high_axis_outermost)
REGKERN_EVERY_PATH(float, 3, low_axis_outermost)
REGKERN_EVERY_PATH(double, 2, high_axis_outermost)
}  // namespace detail
template void jointbins_accumulate<double>(const JointbinsInputs<double>&, const JointbinsOutputs<double>&);
template void jointbins_accumulate<float>(const JointbinsInputs<float>&, const JointbinsOutputs<float>&);
}  // namespace regkern

int main()
{
#ifdef REGKERN_CPUID_INTRINSICS
    std::printf("cpuid: %s\n", regkern::vector_path_name(regkern::cpuid_vector_path()));
#endif
    std::printf("detected: %s\n", regkern::vector_path_name(regkern::fastest_vector_path()));
    return 0;
}
