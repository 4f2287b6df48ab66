// One worker's share of a field inversion: every sample in storage order,
// the shares that land in the worker's slab splatted into its sums, then the
// slab of the forward field normalised; one entry per vector path
// (dispinvert_splat.h runs the workers). See dispinvert_splat.h for the
// arithmetic's rules.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dispinvert_field.h"
#include "dispinvert_footprint.h"
#include "dispinvert_lanes.h"
#include "indexing.h"
#include "vector_path.h"

namespace regkern {

namespace detail {

// Places the sample of grid point p (element n) along axis a: its carried
// value, the lowest grid point its kernel reaches, and its fraction t.
// Returns false when the splat point is not finite or its floor lies
// outside the int32 range: such a sample contributes nothing.
template <class T, int N>
bool place_sample(const FieldInversion<T, N>& job, int a, int32_t p, int32_t n,
                  int32_t half_width, Sample<N>& sample, T& fraction)
{
    const T u = static_cast<T>(-job.backward[a][n]);
    const T q = static_cast<T>(static_cast<double>(static_cast<T>(p)) - static_cast<double>(u));
    const double floor_q = std::floor(static_cast<double>(q));
    if (!(floor_q >= -2147483648.0 && floor_q <= 2147483647.0)) return false;
    sample.carried[a] = static_cast<double>(u);
    sample.reach_origin[a] = static_cast<int64_t>(to_int(floor_q)) - half_width;
    fraction = static_cast<T>(static_cast<double>(q) - static_cast<double>(static_cast<T>(floor_q)));
    return true;
}

// Forms the sample of grid point p (element n) if its kernel reaches the
// slab: the last axis first, which alone decides whether it does.
template <class T, int N>
bool form_sample(const InversionSlab<T, N>& slab, const std::array<int32_t, N>& p, int32_t n,
                 const std::array<int32_t, N>& half_width, Sample<N>& sample)
{
    const FieldInversion<T, N>& job = *slab.job;
    std::array<T, N> fraction;
    for (int a = N - 1; a >= 0; --a) {
        if (!place_sample<T, N>(job, a, p[a], n, half_width[a], sample, fraction[a])) return false;
        const int64_t reach = sample.reach_origin[a];
        const int64_t lower = a == N - 1 ? slab.first : job.box_lo[a];
        const int64_t upper = a == N - 1 ? slab.end : job.box_hi[a];
        if (reach + job.kernel_extent[a] < lower || reach >= upper) return false;
    }
    // Per axis the factor of the corner offsets 0 and 1: 1 - t and t.
    std::array<std::array<double, 2>, N> factor;
    for (int a = 0; a < N; ++a) {
        const double t = static_cast<double>(fraction[a]);
        factor[a] = {1.0 - t, t};
    }
    REGKERN_UNROLL(8)
    for (int c = 0; c < (1 << N); ++c) {
        // (x-factor * y-factor) * z-factor, evaluated in double, stored once.
        double weight = factor[0][corner_offset<N>(c, 0)];
        REGKERN_UNROLL(2)
        for (int a = 1; a < N; ++a) weight = weight * factor[a][corner_offset<N>(c, a)];
        sample.corner_weight[c] = static_cast<double>(static_cast<T>(weight));
    }
    return true;
}

// Divides the forward sums of the slab by their weight sums plus epsilon
// into the forward field.
template <class T, int N>
void normalise_slab(const InversionSlab<T, N>& slab)
{
    const FieldInversion<T, N>& job = *slab.job;
    // The nearest T to 1e-8, added to the weight sum in double.
    const double epsilon = static_cast<double>(static_cast<T>(1e-8));
    const int32_t sx = job.box_hi[0] - job.box_lo[0], sy = job.box_hi[1] - job.box_lo[1];
    const int32_t rows = N == 3 ? sy : 1;
    for (int32_t z = slab.first; z < slab.end; ++z) {
        const int64_t layer = z - job.box_lo[N - 1];
        for (int32_t y = 0; y < rows; ++y) {
            const int64_t line = N == 3 ? layer * sy + y : layer;
            const T* s = slab.layer[z - slab.first] + (N == 3 ? y * slab.pitch[1] : 0) * sums_per_point;
            std::array<T*, N> out;
            for (int a = 0; a < N; ++a) out[a] = job.forward[a] + line * sx;
            for (int32_t x = 0; x < sx; ++x, s += sums_per_point) {
                const double denominator = static_cast<double>(s[N]) + epsilon;
                REGKERN_UNROLL(3)
                for (int a = 0; a < N; ++a)
                    out[a][x] = static_cast<T>(static_cast<double>(s[a]) / denominator);
            }
        }
    }
}

// One worker's whole share: clears its sums, splats every sample in storage
// order into its slab, then writes its slab of the forward field.
template <class T, int N, KernelOrder Order, class L>
void invert_slab(const InversionSlab<T, N>& slab)
{
    const FieldInversion<T, N>& job = *slab.job;
    for (int32_t layer = 0; layer < slab.end - slab.first; ++layer)
        std::memset(slab.layer[layer], 0,
                    static_cast<size_t>(slab.layer_points) * sums_per_point * sizeof(T));

    std::array<int32_t, N> half_width;
    for (int a = 0; a < N; ++a)
        half_width[a] = to_int(std::floor(static_cast<double>(job.kernel_extent[a]) / 2.0));
    const int32_t grid_count = extent_product<N>(job.grid);

    Sample<N> sample;
    sample.carried[N] = 1.0;  // S takes the weight itself
    if (N + 1 < sums_per_point) sample.carried[sums_per_point - 1] = 0.0;
    // p in whole-grid coordinates: the splat point of a region call's sample
    // is the whole call's.
    std::array<int32_t, N> p = job.origin;
    std::array<int32_t, N> p_end;
    for (int a = 0; a < N; ++a) p_end[a] = job.origin[a] + job.grid[a];
    for (int32_t n = 0; n < grid_count; ++n) {
        if (form_sample<T, N>(slab, p, n, half_width, sample))
            splat_sample<T, N, Order, L>(slab, sample);
        for (int a = 0; a < N; ++a) {
            if (++p[a] < p_end[a]) break;
            p[a] = job.origin[a];
        }
    }
    normalise_slab<T, N>(slab);
}

// One entry per vector path, each compiled for its instruction set with
// everything it calls inlined into it.
template <class T, int N, KernelOrder Order>
REGKERN_FLATTEN void invert_slab_portable(const InversionSlab<T, N>& slab)
{
    invert_slab<T, N, Order, PortableLanes>(slab);
}

#ifdef REGKERN_X86_VECTORS
template <class T, int N, KernelOrder Order>
REGKERN_SSE2 REGKERN_FLATTEN void invert_slab_sse2(const InversionSlab<T, N>& slab)
{
    invert_slab<T, N, Order, Sse2Lanes>(slab);
}

template <class T, int N, KernelOrder Order>
REGKERN_AVX2 REGKERN_FLATTEN void invert_slab_avx2(const InversionSlab<T, N>& slab)
{
    invert_slab<T, N, Order, Avx2Lanes>(slab);
}

template <class T, int N, KernelOrder Order>
REGKERN_AVX512 REGKERN_FLATTEN void invert_slab_avx512(const InversionSlab<T, N>& slab)
{
    invert_slab<T, N, Order, Avx512Lanes>(slab);
}
#endif

// A worker thread's body (and the calling thread's share).
template <class T, int N, KernelOrder Order>
void run_slab(const InversionSlab<T, N>* slab)
{
    switch (slab->path) {
#ifdef REGKERN_X86_VECTORS
    case VectorPath::avx512: return invert_slab_avx512<T, N, Order>(*slab);
    case VectorPath::avx2: return invert_slab_avx2<T, N, Order>(*slab);
    case VectorPath::sse2: return invert_slab_sse2<T, N, Order>(*slab);
#endif
    default: return invert_slab_portable<T, N, Order>(*slab);
    }
}

}  // namespace detail

}  // namespace regkern
