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

#include "indexing.h"

namespace regkern {

// Which kernel axis the splatting loops run outermost. The corner loop is
// always innermost.
enum class KernelOrder {
    high_axis_outermost,  // k, then j, then i (storage order of the kernel)
    low_axis_outermost,   // i, then j, then k
};

template <class T, int N>
struct FieldInversion {
    std::array<int32_t, N> grid;          // sx, sy(, sz)
    std::array<const T*, N> backward;     // bx, by(, bz), grid storage order
    std::array<int32_t, N> kernel_extent; // Kx, Ky(, Kz)
    const T* kernel;                      // H, kernel storage order
    std::array<T*, N> forward;            // Fx, Fy(, Fz), zero-filled on entry
    T* weight_sum;                        // S, one per grid point, zero-filled on entry
};

namespace detail {

template <int N>
int32_t product(const std::array<int32_t, N>& extent)
{
    int32_t count = 1;
    for (int a = 0; a < N; ++a) count *= extent[a];
    return count;
}

// Column-major element index; the caller guarantees that v lies inside the
// extents, so no intermediate overflows.
template <int N>
int32_t linear_index(const std::array<int32_t, N>& v, const std::array<int32_t, N>& extent)
{
    if constexpr (N == 2) {
        return linear_index_2d(v[0], v[1], extent[0]);
    } else {
        return linear_index_3d(v[0], v[1], v[2], extent[0], extent[1]);
    }
}

// Offset of corner c along axis a: the bits of c, the first axis the highest.
template <int N>
constexpr int corner_offset(int c, int a)
{
    return (c >> (N - 1 - a)) & 1;
}

// One sample's splat: its carried value (exact in double), the lowest grid
// point its kernel can reach along each axis (floor(q) minus the half-width,
// in 64 bits so that adding a kernel index never overflows) and its corner
// weights.
template <class T, int N>
struct Sample {
    std::array<double, N> carried;
    std::array<int64_t, N> reach_origin;
    std::array<T, (1 << N)> corner_weight;
};

// Forms the sample of grid point p (element n). Returns false when the splat
// point is not finite or its floor lies outside the int32 range: such a
// sample contributes nothing.
template <class T, int N>
bool form_sample(const FieldInversion<T, N>& job, const std::array<int32_t, N>& p, int32_t n,
                 const std::array<int32_t, N>& half_width, Sample<T, N>& sample)
{
    std::array<T, N> fraction;
    for (int a = 0; a < N; ++a) {
        const T u = static_cast<T>(-job.backward[a][n]);
        const T q = static_cast<T>(static_cast<double>(static_cast<T>(p[a])) -
                                   static_cast<double>(u));
        const double floor_q = std::floor(static_cast<double>(q));
        if (!(floor_q >= -2147483648.0 && floor_q <= 2147483647.0)) return false;
        sample.carried[a] = static_cast<double>(u);
        sample.reach_origin[a] = static_cast<int64_t>(to_int(floor_q)) - half_width[a];
        fraction[a] = static_cast<T>(static_cast<double>(q) -
                                     static_cast<double>(static_cast<T>(floor_q)));
    }
    for (int c = 0; c < (1 << N); ++c) {
        // (x-factor * y-factor) * z-factor, evaluated in double, stored once.
        double weight = 1.0;
        for (int a = 0; a < N; ++a) {
            const double t = static_cast<double>(fraction[a]);
            weight = weight * (corner_offset<N>(c, a) ? t : 1.0 - t);
        }
        sample.corner_weight[c] = static_cast<T>(weight);
    }
    return true;
}

// How the shares of one sample reach a grid point. Grid point v receives the
// share of kernel element e and corner d exactly when e + d = v - reach
// origin, so along each axis at most two (element, corner) pairs meet there,
// and a point gets at most 2^N shares from one sample. The kernel loops
// bring those shares in the order of descending corner offsets, the
// outermost kernel axis the most significant. No other sample adds to the
// point in between, so its running sums stay in registers across them, and
// each point of the sample's footprint (offsets 0 to K from the reach origin
// per axis) is loaded and stored once per sample.
//
// The footprint is walked in rows along x. A row lists the pairs of the
// other axes that reach it ("row corners"), in the kernel loop order.

// The row corners of one footprint row of a sample: for each, where its
// kernel row starts and the weights of its two x corners.
template <class T, int N>
struct RowCorners {
    static constexpr int most = 1 << (N - 1);
    int count;
    std::array<const T*, most> kernel_row;   // kernel element (0, e_1, ...)
    std::array<double, most> lower_x_weight;  // W of the corner with d_x = 0
    std::array<double, most> upper_x_weight;  // W of the corner with d_x = 1
};

// Fills the row corners of the footprint row at offsets r (r[0] unused):
// every combination of corner offsets of the other axes, in kernel loop
// order, kept when each of its kernel indices r[a] - d_a lies in the kernel.
// weight holds the sample's corner weights in double.
template <class T, int N, KernelOrder Order>
inline void form_row(const FieldInversion<T, N>& job, const std::array<double, (1 << N)>& weight,
                     const std::array<int32_t, N>& r, RowCorners<T, N>& row)
{
    const std::array<int32_t, N>& k = job.kernel_extent;
    row.count = 0;
#pragma GCC unroll 4
    for (int b = RowCorners<T, N>::most - 1; b >= 0; --b) {
        int32_t offset = 0, stride = k[0];
        int corner = 0;
        bool reaches = true;
#pragma GCC unroll 2
        for (int a = 1; a < N; ++a) {
            // The outermost kernel axis takes the highest bit of b.
            const int bit = Order == KernelOrder::high_axis_outermost ? a - 1 : N - 1 - a;
            const int d = (b >> bit) & 1;
            reaches = reaches && (d == 1 ? r[a] >= 1 : r[a] < k[a]);
            offset += (r[a] - d) * stride;
            stride *= k[a];
            corner |= d << (N - 1 - a);
        }
        // Written in any case, kept only when it reaches the row.
        row.kernel_row[row.count] = job.kernel + (reaches ? offset : 0);
        row.lower_x_weight[row.count] = weight[corner];
        row.upper_x_weight[row.count] = weight[corner | (1 << (N - 1))];
        row.count += reaches ? 1 : 0;
    }
}

// The running sums of one grid point: the forward components, then S.
template <class T, int N>
using PointSums = std::array<T, N + 1>;

// One share: w = W[c] x H[e] stored as T, then F += u x w per component and
// S += w, each in double and stored as T.
template <class T, int N>
inline void add_share(PointSums<T, N>& sums, const std::array<double, N>& carried,
                      double corner_weight, T kernel_value)
{
    const T w = static_cast<T>(corner_weight * static_cast<double>(kernel_value));
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a)
        sums[a] = static_cast<T>(static_cast<double>(sums[a]) +
                                 carried[a] * static_cast<double>(w));
    sums[N] = static_cast<T>(static_cast<double>(sums[N]) + static_cast<double>(w));
}

// Adds every share of a sample that reaches grid point m, footprint offset
// rx along x, from a row with Count row corners. LowerX: the corner at
// floor(q_x) reaches the point (rx < Kx); UpperX: the corner at
// floor(q_x) + 1 does (rx >= 1).
template <class T, int N, KernelOrder Order, int Count, bool LowerX, bool UpperX>
inline void splat_point(const FieldInversion<T, N>& job, const std::array<double, N>& carried,
                        const RowCorners<T, N>& row, int32_t rx, int32_t m)
{
    PointSums<T, N> sums;
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) sums[a] = job.forward[a][m];
    sums[N] = job.weight_sum[m];
    if constexpr (Order == KernelOrder::high_axis_outermost) {
        // x is the innermost kernel axis: per row corner, the upper x corner
        // (element rx - 1) before the lower (element rx).
#pragma GCC unroll 4
        for (int l = 0; l < Count; ++l) {
            if constexpr (UpperX)
                add_share<T, N>(sums, carried, row.upper_x_weight[l], row.kernel_row[l][rx - 1]);
            if constexpr (LowerX)
                add_share<T, N>(sums, carried, row.lower_x_weight[l], row.kernel_row[l][rx]);
        }
    } else {
        // x is the outermost kernel axis: every upper x share first.
        if constexpr (UpperX) {
#pragma GCC unroll 4
            for (int l = 0; l < Count; ++l)
                add_share<T, N>(sums, carried, row.upper_x_weight[l], row.kernel_row[l][rx - 1]);
        }
        if constexpr (LowerX) {
#pragma GCC unroll 4
            for (int l = 0; l < Count; ++l)
                add_share<T, N>(sums, carried, row.lower_x_weight[l], row.kernel_row[l][rx]);
        }
    }
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) job.forward[a][m] = sums[a];
    job.weight_sum[m] = sums[N];
}

// The points rx = first..last of one footprint row; m is the element of
// point `first`. Only the ends rx = 0 and rx = Kx miss an x corner.
template <class T, int N, KernelOrder Order, int Count>
void splat_row(const FieldInversion<T, N>& job, const std::array<double, N>& carried,
               const RowCorners<T, N>& row, int32_t first, int32_t last, int32_t m)
{
    const int32_t kx = job.kernel_extent[0];
    int32_t rx = first;
    if (rx == 0) splat_point<T, N, Order, Count, true, false>(job, carried, row, rx++, m++);
    for (const int32_t both_last = std::min(last, kx - 1); rx <= both_last; ++rx, ++m)
        splat_point<T, N, Order, Count, true, true>(job, carried, row, rx, m);
    if (rx <= last) splat_point<T, N, Order, Count, false, true>(job, carried, row, rx, m);
}

template <class T, int N, KernelOrder Order>
void splat_row(const FieldInversion<T, N>& job, const std::array<double, N>& carried,
               const RowCorners<T, N>& row, int32_t first, int32_t last, int32_t m)
{
    switch (row.count) {
    case 1: splat_row<T, N, Order, 1>(job, carried, row, first, last, m); break;
    case 2: splat_row<T, N, Order, 2>(job, carried, row, first, last, m); break;
    default:
        if constexpr (N == 3) splat_row<T, N, Order, 4>(job, carried, row, first, last, m);
        break;
    }
}

// Splats one sample: visits the points of its footprint that lie inside the
// grid. Shares aimed outside the grid are the ones never visited, so they
// are dropped.
template <class T, int N, KernelOrder Order>
void splat_sample(const FieldInversion<T, N>& job, const Sample<T, N>& sample)
{
    std::array<int32_t, N> first, last, origin;
    for (int a = 0; a < N; ++a) {
        const int64_t reach = sample.reach_origin[a];
        const int64_t lo = reach < 0 ? -reach : 0;
        const int64_t hi = std::min<int64_t>(job.kernel_extent[a], job.grid[a] - 1 - reach);
        if (lo > hi) return;
        first[a] = static_cast<int32_t>(lo);
        last[a] = static_cast<int32_t>(hi);
        // The footprint meets the grid, so its origin lies within Kx of it.
        origin[a] = static_cast<int32_t>(reach);
    }
    std::array<double, (1 << N)> weight;
    for (int c = 0; c < (1 << N); ++c) weight[c] = static_cast<double>(sample.corner_weight[c]);
    const int32_t x_first = origin[0] + first[0];
    RowCorners<T, N> row;
    std::array<int32_t, N> r = first;
    while (true) {
        form_row<T, N, Order>(job, weight, r, row);
        int32_t m = x_first;
        int32_t stride = job.grid[0];
        for (int a = 1; a < N; ++a) {
            m += (origin[a] + r[a]) * stride;
            stride *= job.grid[a];
        }
        splat_row<T, N, Order>(job, sample.carried, row, first[0], last[0], m);
        // Next row: y fastest, then z.
        int a = 1;
        for (; a < N; ++a) {
            if (++r[a] <= last[a]) break;
            r[a] = first[a];
        }
        if (a == N) return;
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

    std::array<int32_t, N> p{};
    detail::Sample<T, N> sample;
    if (kernel_count > 0) {
        for (int32_t n = 0; n < grid_count; ++n, detail::advance<N>(p, job.grid)) {
            if (!detail::form_sample<T, N>(job, p, n, half_width, sample)) continue;
            detail::splat_sample<T, N, Order>(job, sample);
        }
    }

    // The nearest T to 1e-8, added to the weight sum in double.
    const double epsilon = static_cast<double>(static_cast<T>(1e-8));
    for (int32_t n = 0; n < grid_count; ++n) {
        const double denominator = static_cast<double>(job.weight_sum[n]) + epsilon;
        for (int a = 0; a < N; ++a)
            job.forward[a][n] =
                static_cast<T>(static_cast<double>(job.forward[a][n]) / denominator);
    }
}

}  // namespace regkern
