// The shares of one sample, added point by point over its footprint.
//
// Grid point v receives the share of kernel element e and corner d exactly
// when e + d = v - reach origin, so along each axis at most two (element,
// corner) pairs meet at a point and a point gets at most 2^N shares from one
// sample. The kernel loops bring those shares in the order of descending
// corner offsets, the outermost kernel axis the most significant. No other
// sample adds to the point in between, so each point of the footprint
// (offsets 0 to K from the reach origin per axis) is loaded once, takes its
// shares in that order with its running sums in registers, and is stored
// once. Shares aimed outside the grid are those of the points never visited.
//
// Along each axis, offset 0 is reached by the lower corner alone (kernel
// element 0), offset K by the upper corner alone (element K - 1), and every
// offset between by both, the upper first (element r - 1, then r). The
// footprint is walked in rows along x; the kind of a row, these cases along
// y (and z), fixes its row corners at compile time. Along x the points
// between the two ends go two at a time, one per lane of a Pair: their
// shares use neighbouring kernel elements of the same row corners.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "field_inversion.h"
#include "pair.h"

namespace regkern {
namespace detail {

// How the corners of one axis reach a footprint offset (see above).
enum AxisReach : int { lower_only = 0, both_corners = 1, upper_only = 2 };

inline int axis_reach(int32_t offset, int32_t kernel_extent)
{
    return offset == 0 ? lower_only : (offset == kernel_extent ? upper_only : both_corners);
}

// Row kinds: the reach along y, plus 3 times the reach along z.
template <int N>
constexpr int row_kinds = N == 2 ? 3 : 9;

// The row corners of a kind of row, in kernel loop order: their corner
// offsets along the axes other than x (entry 0 unused).
template <int N>
struct RowPattern {
    int count;
    std::array<std::array<int, N>, (1 << (N - 1))> offset;
};

template <int N, KernelOrder Order>
constexpr RowPattern<N> row_pattern(int kind)
{
    RowPattern<N> pattern{};
    for (int b = (1 << (N - 1)) - 1; b >= 0; --b) {
        std::array<int, N> d{};
        bool reaches = true;
        int rest = kind;
        for (int a = 1; a < N; ++a) {
            // The outermost kernel axis takes the highest bit of b.
            const int bit = Order == KernelOrder::high_axis_outermost ? a - 1 : N - 1 - a;
            d[a] = (b >> bit) & 1;
            const int reach = rest % 3;
            rest /= 3;
            reaches = reaches && (d[a] == 1 ? reach != lower_only : reach != upper_only);
        }
        if (reaches) pattern.offset[pattern.count++] = d;
    }
    return pattern;
}

// Corner index of a row corner with x offset dx.
template <int N>
constexpr int corner_of(const std::array<int, N>& d, int dx)
{
    int c = dx << (N - 1);
    for (int a = 1; a < N; ++a) c |= d[a] << (N - 1 - a);
    return c;
}

// What the points of one row need, in locals: the outputs are written
// through pointers the compiler must assume could alias anything else.
template <class T, int N, int Count>
struct Row {
    std::array<T*, N> forward;
    T* weight_sum;
    std::array<const T*, Count> kernel_row;  // element (0, e_1, ...) per row corner
};

template <class T, int N, KernelOrder Order, int Kind>
using RowOf = Row<T, N, row_pattern<N, Order>(Kind).count>;

// One share: w = W[c] x H[e] stored as T, then F += u x w per component and
// S += w, each in double and stored as T.
template <class T, int N>
inline void add_share(std::array<T, N + 1>& sums, const Sample<N>& sample, double corner_weight,
                      T kernel_value)
{
    const T w = static_cast<T>(corner_weight * static_cast<double>(kernel_value));
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a)
        sums[a] = static_cast<T>(static_cast<double>(sums[a]) +
                                 sample.carried[a] * static_cast<double>(w));
    sums[N] = static_cast<T>(static_cast<double>(sums[N]) + static_cast<double>(w));
}

// The share of row corner l at point rx through the x corner dx: the
// lower one (dx = 0) through kernel element rx, the upper one through rx - 1.
template <class T, int N, KernelOrder Order, int Kind>
inline void add_row_share(std::array<T, N + 1>& sums, const RowOf<T, N, Order, Kind>& row,
                          const Sample<N>& sample, int l, int dx, int32_t rx)
{
    constexpr RowPattern<N> pattern = row_pattern<N, Order>(Kind);
    add_share<T, N>(sums, sample, sample.corner_weight[corner_of<N>(pattern.offset[l], dx)],
                    row.kernel_row[l][rx - dx]);
}

// Every share of the sample at point m, offset rx along x. LowerX: the
// corner at floor(q_x) reaches the point (rx < Kx); UpperX: the corner at
// floor(q_x) + 1 does (rx >= 1).
template <class T, int N, KernelOrder Order, int Kind, bool LowerX, bool UpperX>
inline void splat_point(const RowOf<T, N, Order, Kind>& row, const Sample<N>& sample, int32_t rx,
                        int32_t m)
{
    constexpr int count = row_pattern<N, Order>(Kind).count;
    std::array<T, N + 1> sums;
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) sums[a] = row.forward[a][m];
    sums[N] = row.weight_sum[m];
    if constexpr (Order == KernelOrder::high_axis_outermost) {
        // x is the innermost kernel axis: per row corner, upper then lower.
#pragma GCC unroll 4
        for (int l = 0; l < count; ++l) {
            if constexpr (UpperX) add_row_share<T, N, Order, Kind>(sums, row, sample, l, 1, rx);
            if constexpr (LowerX) add_row_share<T, N, Order, Kind>(sums, row, sample, l, 0, rx);
        }
    } else {
        // x is the outermost kernel axis: every upper x share first.
        if constexpr (UpperX) {
#pragma GCC unroll 4
            for (int l = 0; l < count; ++l)
                add_row_share<T, N, Order, Kind>(sums, row, sample, l, 1, rx);
        }
        if constexpr (LowerX) {
#pragma GCC unroll 4
            for (int l = 0; l < count; ++l)
                add_row_share<T, N, Order, Kind>(sums, row, sample, l, 0, rx);
        }
    }
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) row.forward[a][m] = sums[a];
    row.weight_sum[m] = sums[N];
}

// add_share for the points m and m + 1 at once; kernel_values holds the
// kernel elements of the two shares.
template <class T, int N>
inline void add_share_pair(std::array<Pair, N + 1>& sums, const Sample<N>& sample,
                           Pair corner_weight, const T* kernel_values)
{
    const Pair w = stored_as<T>(mul(corner_weight, load_pair(kernel_values)));
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a)
        sums[a] = stored_as<T>(add(sums[a], mul(sample.carried_pair[a], w)));
    sums[N] = stored_as<T>(add(sums[N], w));
}

// splat_point for the points rx and rx + 1 (elements m and m + 1), both
// reached by both x corners.
template <class T, int N, KernelOrder Order, int Kind>
inline void splat_pair(const RowOf<T, N, Order, Kind>& row, const Sample<N>& sample, int32_t rx,
                       int32_t m)
{
    constexpr RowPattern<N> pattern = row_pattern<N, Order>(Kind);
    std::array<Pair, N + 1> sums;
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) sums[a] = load_pair(row.forward[a] + m);
    sums[N] = load_pair(row.weight_sum + m);
    if constexpr (Order == KernelOrder::high_axis_outermost) {
#pragma GCC unroll 4
        for (int l = 0; l < pattern.count; ++l) {
            add_share_pair<T, N>(sums, sample,
                                 sample.corner_weight_pair[corner_of<N>(pattern.offset[l], 1)],
                                 row.kernel_row[l] + (rx - 1));
            add_share_pair<T, N>(sums, sample,
                                 sample.corner_weight_pair[corner_of<N>(pattern.offset[l], 0)],
                                 row.kernel_row[l] + rx);
        }
    } else {
#pragma GCC unroll 4
        for (int l = 0; l < pattern.count; ++l)
            add_share_pair<T, N>(sums, sample,
                                 sample.corner_weight_pair[corner_of<N>(pattern.offset[l], 1)],
                                 row.kernel_row[l] + (rx - 1));
#pragma GCC unroll 4
        for (int l = 0; l < pattern.count; ++l)
            add_share_pair<T, N>(sums, sample,
                                 sample.corner_weight_pair[corner_of<N>(pattern.offset[l], 0)],
                                 row.kernel_row[l] + rx);
    }
#pragma GCC unroll 4
    for (int a = 0; a < N; ++a) store_pair(row.forward[a] + m, sums[a]);
    store_pair(row.weight_sum + m, sums[N]);
}

// The points rx = first..last of one footprint row; m is the element of
// point `first`, and the points up to `last` are stored one after another.
template <class T, int N, KernelOrder Order, int Kind>
inline void splat_points(const RowOf<T, N, Order, Kind>& row, const Sample<N>& sample,
                         int32_t kx, int32_t first, int32_t last, int32_t m)
{
    int32_t rx = first;
    if (rx == 0) splat_point<T, N, Order, Kind, true, false>(row, sample, rx++, m++);
    const int32_t both_last = std::min(last, kx - 1);
    for (; rx < both_last; rx += 2, m += 2) splat_pair<T, N, Order, Kind>(row, sample, rx, m);
    if (rx == both_last) splat_point<T, N, Order, Kind, true, true>(row, sample, rx++, m++);
    if (rx <= last) splat_point<T, N, Order, Kind, false, true>(row, sample, rx, m);
}

// Where a run of footprint rows lies: the x offsets of the footprint, the
// grid x of offset `first`, and for the current row its offsets r (r[0]
// unused), the element of its grid point x = 0 and its rotation. The
// stagger step along y moves the rotation from row to row.
template <int N>
struct RowRun {
    int32_t first, last, x_first;
    std::array<int32_t, N> r;
    int32_t base, shift, shift_step;
};

// The rows r[1] = run.r[1] .. y_last of one kind, all with the same row
// corners; leaves `run` at the row after the last.
template <class T, int N, KernelOrder Order, int Kind>
void splat_rows(const FieldInversion<T, N>& job, const Sample<N>& sample, RowRun<N>& run,
                int32_t y_last)
{
    constexpr RowPattern<N> pattern = row_pattern<N, Order>(Kind);
    const int32_t sx = job.grid[0], kx = job.kernel_extent[0];
    RowOf<T, N, Order, Kind> row;
    row.forward = job.forward;
    row.weight_sum = job.weight_sum;
#pragma GCC unroll 4
    for (int l = 0; l < pattern.count; ++l) {
        int32_t element = 0, stride = kx;
        for (int a = 1; a < N; ++a) {
            element += (run.r[a] - pattern.offset[l][a]) * stride;
            stride *= job.kernel_extent[a];
        }
        row.kernel_row[l] = job.kernel + element;
    }
    for (; run.r[1] <= y_last; ++run.r[1]) {
        // Storage position of the first point; the row continues at the
        // start of its storage where the rotation wraps.
        int32_t at = add_mod(run.x_first, run.shift, sx);
        const int32_t room = sx - at;  // points stored before the wrap
        int32_t first = run.first;
        int32_t last = room > run.last - first ? run.last : first + room - 1;
        while (true) {
            splat_points<T, N, Order, Kind>(row, sample, kx, first, last, run.base + at);
            if (last == run.last) break;
            first = last + 1;
            last = run.last;
            at = 0;
        }
#pragma GCC unroll 4
        for (int l = 0; l < pattern.count; ++l) row.kernel_row[l] += kx;
        run.base += sx;
        run.shift = add_mod(run.shift, run.shift_step, sx);
    }
}

template <class T, int N, KernelOrder Order>
void splat_rows_of_kind(int kind, const FieldInversion<T, N>& job, const Sample<N>& sample,
                        RowRun<N>& run, int32_t y_last)
{
    switch (kind) {
    case 0: return splat_rows<T, N, Order, 0>(job, sample, run, y_last);
    case 1: return splat_rows<T, N, Order, 1>(job, sample, run, y_last);
    case 2: return splat_rows<T, N, Order, 2>(job, sample, run, y_last);
    }
    if constexpr (N == 3) {
        switch (kind) {
        case 3: return splat_rows<T, N, Order, 3>(job, sample, run, y_last);
        case 4: return splat_rows<T, N, Order, 4>(job, sample, run, y_last);
        case 5: return splat_rows<T, N, Order, 5>(job, sample, run, y_last);
        case 6: return splat_rows<T, N, Order, 6>(job, sample, run, y_last);
        case 7: return splat_rows<T, N, Order, 7>(job, sample, run, y_last);
        case 8: return splat_rows<T, N, Order, 8>(job, sample, run, y_last);
        }
    }
}

// Adds every share of the sample whose target lies inside the grid, into
// rows stored as `stagger` rotates them.
template <class T, int N, KernelOrder Order>
void splat_sample(const FieldInversion<T, N>& job, const RowStagger<N>& stagger,
                  const Sample<N>& sample)
{
    const std::array<int32_t, N>& k = job.kernel_extent;
    std::array<int32_t, N> first, last, origin;
    for (int a = 0; a < N; ++a) {
        const int64_t reach = sample.reach_origin[a];
        const int64_t lo = reach < 0 ? -reach : 0;
        const int64_t hi = std::min<int64_t>(k[a], job.grid[a] - 1 - reach);
        if (lo > hi) return;
        first[a] = static_cast<int32_t>(lo);
        last[a] = static_cast<int32_t>(hi);
        // The footprint meets the grid, so the origin lies within K of it.
        origin[a] = static_cast<int32_t>(reach);
    }
    const int32_t sx = job.grid[0];
    // The first grid row of the footprint: its element index and rotation.
    int64_t shift = 0;
    int32_t plane_base = 0, stride = sx;
    for (int a = 1; a < N; ++a) {
        const int32_t row = origin[a] + first[a];
        shift += static_cast<int64_t>(row) * stagger.step[a];
        plane_base += row * stride;
        stride *= job.grid[a];
    }
    int32_t plane_shift = static_cast<int32_t>(shift % sx);
    const int32_t plane_stride = N == 3 ? sx * job.grid[1] : 0;

    RowRun<N> run;
    run.first = first[0];
    run.last = last[0];
    run.x_first = origin[0] + first[0];
    run.shift_step = stagger.step[1];
    run.r = first;
    const int32_t z_first = N == 3 ? first[N - 1] : 0, z_last = N == 3 ? last[N - 1] : 0;
    for (int32_t rz = z_first; rz <= z_last; ++rz) {
        int z_kind = 0;
        if constexpr (N == 3) {
            run.r[2] = rz;
            z_kind = 3 * axis_reach(rz, k[2]);
        }
        run.r[1] = first[1];
        run.base = plane_base + (rz - z_first) * plane_stride;
        run.shift = plane_shift;
        // Rows along y: offset 0, the offsets between, offset Ky.
        if (run.r[1] == 0)
            splat_rows_of_kind<T, N, Order>(lower_only + z_kind, job, sample, run, 0);
        const int32_t both_last = std::min(last[1], k[1] - 1);
        if (run.r[1] <= both_last)
            splat_rows_of_kind<T, N, Order>(both_corners + z_kind, job, sample, run, both_last);
        if (run.r[1] <= last[1])
            splat_rows_of_kind<T, N, Order>(upper_only + z_kind, job, sample, run, last[1]);
        if constexpr (N == 3) plane_shift = add_mod(plane_shift, stagger.step[2], sx);
    }
}

}  // namespace detail
}  // namespace regkern
