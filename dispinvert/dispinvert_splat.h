// Inversion of a backward displacement field by forward splatting, for 2-D
// and 3-D grids in double or single precision.
//
// Every grid point p carries u = -b(p) to q = p + b(p). The value is shared
// among the 2^N grid points around q by (bi/tri)linear weights, each share is
// spread again with the caller's kernel, and values and weights are summed per
// grid point. Each sum is finally divided by its summed weight plus 1e-8.
//
// Results are bit-exact contracts, so the arithmetic is written out step by
// step: every stored value has type T, every expression between two stores
// is evaluated in double and rounded to T on store (a no-op for double), and
// the order of the additions per grid point is fixed by the sample order
// (storage order of the grid) and by the kernel loop order Order.
//
// The work is split by output: each worker owns a slab of the last grid
// axis, visits every sample in storage order and adds only the shares that
// land in its slab, so every grid point takes its shares in the order one
// worker alone would give them, whatever the number of workers.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dispinvert_field.h"
#include "dispinvert_footprint.h"
#include "indexing.h"
#include "dispinvert_lanes.h"
#include "scratch.h"
#include "vector_path.h"
#include "worker_threads.h"

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
        const int64_t lower = a == N - 1 ? slab.first : 0;
        const int64_t upper = a == N - 1 ? slab.end : job.grid[a];
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
    const int32_t sx = job.grid[0], sy = job.grid[1];
    const int32_t rows = N == 3 ? sy : 1;
    for (int32_t z = slab.first; z < slab.end; ++z) {
        for (int32_t y = 0; y < rows; ++y) {
            const int64_t line = N == 3 ? static_cast<int64_t>(z) * sy + y : z;
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
    std::array<int32_t, N> p{};
    for (int32_t n = 0; n < grid_count; ++n) {
        if (form_sample<T, N>(slab, p, n, half_width, sample))
            splat_sample<T, N, Order, L>(slab, sample);
        for (int a = 0; a < N; ++a) {
            if (++p[a] < job.grid[a]) break;
            p[a] = 0;
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

// Points between neighbouring lines along axis a of the sums: at least
// `points`, plus the smallest gap of up to 64 points that moves any two
// lines a footprint can touch together (at most `span` apart) at least a
// cache line apart in their low 12 address bits. Without the gap, when a
// row or plane in bytes is a multiple of 4096, the points of neighbouring
// lines share those bits, and a load from one is held up behind recent
// stores to the other (the processor compares only those bits at first).
template <class T>
int64_t sums_pitch(int64_t points, int32_t span)
{
    const int64_t point_bytes = sums_per_point * static_cast<int64_t>(sizeof(T));
    const int64_t lines = std::min<int64_t>(span, 64);
    for (int64_t gap = 0; gap <= 64; ++gap) {
        const int64_t bytes = (points + gap) * point_bytes;
        bool apart = true;
        for (int64_t d = 1; d <= lines && apart; ++d) {
            const int64_t low = d * bytes % 4096;
            apart = low >= 64 && low <= 4096 - 64;
        }
        if (apart) return points + gap;
    }
    return points;
}

}  // namespace detail

// Splats every sample of job into its forward field on `workers` threads
// (the calling thread one of them; at most one per slab) with the
// arithmetic of `path`, and normalises. Scratch is taken before any thread
// starts: std::bad_alloc when it cannot be had, std::system_error when a
// thread cannot be started (after the started ones are joined).
template <class T, int N, KernelOrder Order>
void invert_field(const FieldInversion<T, N>& job, int32_t workers, VectorPath path)
{
    const std::array<int32_t, N>& k = job.kernel_extent;
    const int32_t layers = job.grid[N - 1];
    if (extent_product<N>(job.grid) == 0 || extent_product<N>(k) == 0) return;
    workers = std::max(1, std::min(workers, layers));

    // The kernel in double, padded with zeros to a multiple of 4 elements.
    const int32_t kernel_count = extent_product<N>(k);
    const int32_t weight_table = (kernel_count + 3) / 4 * 4;
    auto kernel = take_scratch<double>(weight_table);
    for (int32_t e = 0; e < weight_table; ++e)
        kernel[e] = e < kernel_count ? static_cast<double>(job.kernel[e]) : 0.0;
    CornerOffsets<N> corner;
    for (int c = 0; c < (1 << N); ++c) {
        int32_t element = 0, stride = 1;
        for (int a = 0; a < N; ++a) {
            element += detail::corner_offset<N>(c, a) * stride;
            stride *= k[a];
        }
        corner[c] = c * weight_table - element;
    }

    std::array<int64_t, N> pitch{};
    pitch[0] = 1;
    pitch[1] = detail::sums_pitch<T>(job.grid[0], k[1]);
    if (N == 3) pitch[N - 1] = detail::sums_pitch<T>(pitch[1] * job.grid[1], k[N - 1]);

    // The sums come in pieces of whole layers, up to 16 MB each where a layer
    // is smaller: the C library hands blocks of up to 32 MB back to the next
    // call instead of fresh pages from the system (each page would cost a
    // fault when first touched).
    const int64_t layer_points = pitch[N - 1];
    const int64_t layer_bytes = layer_points * sums_per_point * sizeof(T);
    const int64_t layers_per_piece = std::max<int64_t>(1, (int64_t{16} << 20) / layer_bytes);

    std::vector<InversionSlab<T, N>> slabs(static_cast<size_t>(workers));
    std::vector<Scratch<T>> sums;
    std::vector<std::vector<T*>> slab_layers(static_cast<size_t>(workers));
    std::vector<Scratch<double>> weights;
    for (int32_t t = 0; t < workers; ++t) {
        InversionSlab<T, N>& slab = slabs[t];
        slab.job = &job;
        slab.path = path;
        slab.first = share_start(t, workers, layers);
        slab.end = share_start(t + 1, workers, layers);
        slab.kernel = kernel.get();
        slab.weight_table = weight_table;
        slab.corner = corner;
        slab.pitch = pitch;
        for (int32_t layer = slab.first; layer < slab.end; ++layer) {
            const int64_t in_piece = (layer - slab.first) % layers_per_piece;
            if (in_piece == 0) {
                const int64_t count = std::min<int64_t>(layers_per_piece, slab.end - layer);
                sums.push_back(take_scratch<T>(count * layer_points * sums_per_point));
            }
            slab_layers[t].push_back(sums.back().get() + in_piece * layer_points * sums_per_point);
        }
        slab.layer = slab_layers[t].data();
        slab.layer_points = layer_points;
        weights.push_back(take_scratch<double>(int64_t{weight_table} << N));
        slab.weights = weights.back().get();
    }
    run_workers(slabs, detail::run_slab<T, N, Order>);
}

}  // namespace regkern
