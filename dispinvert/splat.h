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
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "field_inversion.h"
#include "footprint.h"
#include "indexing.h"
#include "pair.h"

namespace regkern {

namespace detail {

template <int N>
int32_t product(const std::array<int32_t, N>& extent)
{
    int32_t count = 1;
    for (int a = 0; a < N; ++a) count *= extent[a];
    return count;
}

// Forms the sample of grid point p (element n). Returns false when the splat
// point is not finite or its floor lies outside the int32 range: such a
// sample contributes nothing.
template <class T, int N>
bool form_sample(const FieldInversion<T, N>& job, const std::array<int32_t, N>& p, int32_t n,
                 const std::array<int32_t, N>& half_width, Sample<N>& sample)
{
    std::array<T, N> fraction;
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) {
        const T u = static_cast<T>(-job.backward[a][n]);
        const T q = static_cast<T>(static_cast<double>(static_cast<T>(p[a])) -
                                   static_cast<double>(u));
        const double floor_q = std::floor(static_cast<double>(q));
        if (!(floor_q >= -2147483648.0 && floor_q <= 2147483647.0)) return false;
        sample.carried[a] = static_cast<double>(u);
        sample.carried_pair[a] = pair_of(sample.carried[a]);
        sample.reach_origin[a] = static_cast<int64_t>(to_int(floor_q)) - half_width[a];
        fraction[a] = static_cast<T>(static_cast<double>(q) -
                                     static_cast<double>(static_cast<T>(floor_q)));
    }
    // Per axis the factor of the corner offsets 0 and 1: 1 - t and t.
    std::array<std::array<double, 2>, N> factor;
    for (int a = 0; a < N; ++a) {
        const double t = static_cast<double>(fraction[a]);
        factor[a] = {1.0 - t, t};
    }
#pragma GCC unroll 8
    for (int c = 0; c < (1 << N); ++c) {
        // (x-factor * y-factor) * z-factor, evaluated in double, stored once.
        double weight = factor[0][corner_offset<N>(c, 0)];
#pragma GCC unroll 2
        for (int a = 1; a < N; ++a) weight = weight * factor[a][corner_offset<N>(c, a)];
        sample.corner_weight[c] = static_cast<double>(static_cast<T>(weight));
        sample.corner_weight_pair[c] = pair_of(sample.corner_weight[c]);
    }
    return true;
}

// The rotation step of the rows along axis a (see RowStagger): the smallest
// one, up to 64 points, that moves every two rows of one footprint (at most
// K_a apart along a) at least a cache line apart in their low 12 address
// bits; 0 when none does or none is needed.
template <class T, int N>
int32_t stagger_step(const FieldInversion<T, N>& job, int a)
{
    int64_t stride = 1;  // elements between neighbouring rows along a
    for (int b = 0; b < a; ++b) stride *= job.grid[b];
    const int64_t span = std::min<int64_t>(job.kernel_extent[a], 64);
    const int32_t steps = std::min<int32_t>(job.grid[0], 65);
    for (int32_t step = 0; step < steps; ++step) {
        const int64_t bytes = (stride + step) * static_cast<int64_t>(sizeof(T));
        bool apart = true;
        for (int64_t d = 1; d <= span && apart; ++d) {
            const int64_t low = d * bytes % 4096;
            apart = low >= 64 && low <= 4096 - 64;
        }
        if (apart) return step;
    }
    return 0;
}

// Divides the forward values of the grid row at element `base`, stored
// rotated by `shift`, by their weight sums plus epsilon, and puts them back
// in place.
template <class T, int N>
void normalise_row(const FieldInversion<T, N>& job, int32_t base, int32_t shift)
{
    // The nearest T to 1e-8, added to the weight sum in double.
    const double epsilon = static_cast<double>(static_cast<T>(1e-8));
    const int32_t sx = job.grid[0];
    const T* const s = job.weight_sum + base;
    for (int a = 0; a < N; ++a) {
        T* const f = job.forward[a] + base;
        const T* stored = f;
        if (shift != 0) {
            std::copy(f, f + sx, job.row_buffer);
            stored = job.row_buffer;
        }
        // Point x of the row is stored at (x + shift) mod sx.
        for (int32_t x = 0, at = shift; x < sx; ++x, at = at + 1 == sx ? 0 : at + 1) {
            const double denominator = static_cast<double>(s[at]) + epsilon;
            f[x] = static_cast<T>(static_cast<double>(stored[at]) / denominator);
        }
    }
}

template <class T, int N>
void normalise(const FieldInversion<T, N>& job, const RowStagger<N>& stagger)
{
    const int32_t sx = job.grid[0];
    const int32_t planes = N == 3 ? job.grid[N - 1] : 1;
    int32_t base = 0, plane_shift = 0;
    for (int32_t z = 0; z < planes; ++z) {
        int32_t shift = plane_shift;
        for (int32_t y = 0; y < job.grid[1]; ++y, base += sx) {
            normalise_row<T, N>(job, base, shift);
            shift = add_mod(shift, stagger.step[1], sx);
        }
        if constexpr (N == 3) {
            plane_shift = add_mod(plane_shift, stagger.step[2], sx);
        }
    }
}

// Steps a grid point to the next in storage order (x fastest).
template <int N>
void advance(std::array<int32_t, N>& index, const std::array<int32_t, N>& extent)
{
    for (int a = 0; a < N; ++a) {
        if (++index[a] < extent[a]) return;
        index[a] = 0;
    }
}

}  // namespace detail

// Splats every sample of job into its forward field and weight sums, then
// normalises the forward field. The outputs and weight_sum must start at 0.
template <class T, int N, KernelOrder Order>
void invert_field(const FieldInversion<T, N>& job)
{
    std::array<int32_t, N> half_width;
    for (int a = 0; a < N; ++a)
        half_width[a] = to_int(std::floor(static_cast<double>(job.kernel_extent[a]) / 2.0));

    const int32_t grid_count = detail::product<N>(job.grid);
    const int32_t kernel_count = detail::product<N>(job.kernel_extent);

    detail::RowStagger<N> stagger{};
    for (int a = 1; a < N; ++a) stagger.step[a] = detail::stagger_step<T, N>(job, a);

    std::array<int32_t, N> p{};
    detail::Sample<N> sample;
    if (kernel_count > 0) {
        for (int32_t n = 0; n < grid_count; ++n, detail::advance<N>(p, job.grid)) {
            if (!detail::form_sample<T, N>(job, p, n, half_width, sample)) continue;
            detail::splat_sample<T, N, Order>(job, stagger, sample);
        }
    }
    detail::normalise<T, N>(job, stagger);
}

}  // namespace regkern
