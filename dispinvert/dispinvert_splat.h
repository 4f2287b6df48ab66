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
#include <cstdint>
#include <vector>

#include "dispinvert_field.h"
#include "dispinvert_slab.h"
#include "scratch.h"
#include "vector_path.h"
#include "worker_threads.h"

namespace regkern {

namespace detail {

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
    std::array<int32_t, N> box;
    for (int a = 0; a < N; ++a) box[a] = job.box_hi[a] - job.box_lo[a];
    const int32_t layers = box[N - 1];
    if (extent_product<N>(box) == 0 || extent_product<N>(k) == 0) return;
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
    pitch[1] = detail::sums_pitch<T>(box[0], k[1]);
    if (N == 3) pitch[N - 1] = detail::sums_pitch<T>(pitch[1] * box[1], k[N - 1]);

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
        slab.first = job.box_lo[N - 1] + share_start(t, workers, layers);
        slab.end = job.box_lo[N - 1] + share_start(t + 1, workers, layers);
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
