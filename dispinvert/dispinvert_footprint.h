// The shares of one sample, added point by point over its footprint.
//
// Grid point v receives the share of kernel element e and corner d exactly
// when e + d = v - reach origin, so along each axis at most two (element,
// corner) pairs meet at a point and a point gets at most 2^N shares from one
// sample. The kernel loops bring those shares in the order of descending
// corner offsets, the outermost kernel axis the most significant. No other
// sample adds to the point in between, so each point of the footprint
// (offsets 0 to K from the reach origin per axis) is loaded once, takes its
// shares in that order with its running sums (F..., S) side by side in the
// lanes of one Quad, and is stored once. Shares aimed outside the grid, or
// outside the worker's slab, are those of the points never visited.
//
// Along each axis, offset 0 is reached by the lower corner alone (kernel
// element 0), offset K by the upper corner alone (element K - 1), and every
// offset between by both, the upper first (element r - 1, then r). The
// footprint is walked in rows along x; the kind of a row, these cases along
// y (and z), fixes its row corners at compile time.
//
// The share weights W[c] x H[e] of a sample are formed first, four at a
// time, into one table per corner c laid out like the kernel: the weight a
// point r takes through corner c lies in table c at kernel element r - c,
// a fixed distance (corner_offset) from the point's own place r.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "dispinvert_field.h"
#include "dispinvert_lanes.h"

namespace regkern {
namespace detail {

// How the corners of one axis reach a footprint offset (see above).
enum AxisReach : int { lower_only = 0, both_corners = 1, upper_only = 2 };

inline int axis_reach(int32_t offset, int32_t kernel_extent)
{
    return offset == 0 ? lower_only : (offset == kernel_extent ? upper_only : both_corners);
}

// The row corners of a kind of row (the reach along y, plus 3 times the
// reach along z), in kernel loop order: their corner offsets along the axes
// other than x (entry 0 unused).
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

// Every share of the sample at one point, and at the points of the same x in
// the next Rows - 1 rows of the same kind, which take theirs in the same
// pattern: their chains of additions, interleaved, keep the processor
// busy while each waits for its last addition (and, in single precision,
// its rounding). sums points at the running sums, weights at the point's
// own place r in the tables (the weight of corner c lies offset[c] doubles
// further on); the next rows lie row_step sums and kx table doubles on.
// LowerX: the corner at floor(q_x) reaches the point (rx < Kx); UpperX: the
// corner at floor(q_x) + 1 does (rx >= 1).
template <class T, int N, KernelOrder Order, int Kind, bool LowerX, bool UpperX, int Rows,
          class L>
inline void splat_point(T* sums, int64_t row_step, const double* weights, int32_t kx,
                        const CornerOffsets<N>& offset, typename L::Quad carried)
{
    constexpr RowPattern<N> pattern = row_pattern<N, Order>(Kind);
    typename L::Quad point[Rows];
    REGKERN_UNROLL(2)
    for (int r = 0; r < Rows; ++r) point[r] = L::load(sums + r * row_step);
    auto take = [&](int corner) {
        REGKERN_UNROLL(2)
        for (int r = 0; r < Rows; ++r) {
            const typename L::Quad w = L::broadcast(weights[offset[corner] + r * kx]);
            point[r] = StoredAs<L, T>::of(L::add(point[r], L::mul(carried, w)));
        }
    };
    if constexpr (Order == KernelOrder::high_axis_outermost) {
        // x is the innermost kernel axis: per row corner, upper then lower.
        REGKERN_UNROLL(4)
        for (int l = 0; l < pattern.count; ++l) {
            if constexpr (UpperX) take(corner_of<N>(pattern.offset[l], 1));
            if constexpr (LowerX) take(corner_of<N>(pattern.offset[l], 0));
        }
    } else {
        // x is the outermost kernel axis: every upper x share first.
        if constexpr (UpperX) {
            REGKERN_UNROLL(4)
            for (int l = 0; l < pattern.count; ++l) take(corner_of<N>(pattern.offset[l], 1));
        }
        if constexpr (LowerX) {
            REGKERN_UNROLL(4)
            for (int l = 0; l < pattern.count; ++l) take(corner_of<N>(pattern.offset[l], 0));
        }
    }
    REGKERN_UNROLL(2)
    for (int r = 0; r < Rows; ++r) L::store(sums + r * row_step, point[r]);
}

// splat_point for two neighbouring points of a row (and of Rows - 1 rows
// more), both reached by both x corners, in the eight lanes of L::Octet.
template <class T, int N, KernelOrder Order, int Kind, int Rows, class L>
inline void splat_two_points(T* sums, int64_t row_step, const double* weights, int32_t kx,
                             const CornerOffsets<N>& offset, typename L::Octet carried)
{
    constexpr RowPattern<N> pattern = row_pattern<N, Order>(Kind);
    typename L::Octet points[Rows];
    REGKERN_UNROLL(2)
    for (int r = 0; r < Rows; ++r) points[r] = L::load_pair(sums + r * row_step);
    auto take = [&](int corner) {
        REGKERN_UNROLL(2)
        for (int r = 0; r < Rows; ++r) {
            const typename L::Octet w = L::weight_pair(weights + offset[corner] + r * kx);
            points[r] = StoredAs<L, T>::of(L::add(points[r], L::mul(carried, w)));
        }
    };
    if constexpr (Order == KernelOrder::high_axis_outermost) {
        REGKERN_UNROLL(4)
        for (int l = 0; l < pattern.count; ++l) {
            take(corner_of<N>(pattern.offset[l], 1));
            take(corner_of<N>(pattern.offset[l], 0));
        }
    } else {
        REGKERN_UNROLL(4)
        for (int l = 0; l < pattern.count; ++l) take(corner_of<N>(pattern.offset[l], 1));
        REGKERN_UNROLL(4)
        for (int l = 0; l < pattern.count; ++l) take(corner_of<N>(pattern.offset[l], 0));
    }
    REGKERN_UNROLL(2)
    for (int r = 0; r < Rows; ++r) L::store_pair(sums + r * row_step, points[r]);
}

// The carried value as L::Octet lanes (u_x, u_x, u_y, u_y, ...), where L has
// them; an unused stand-in otherwise.
template <class L, bool Pairs = HasPairs<L>::value> struct CarriedPair {
    struct Octet {};
    static Octet of(typename L::Quad) { return {}; }
};
template <class L> struct CarriedPair<L, true> {
    using Octet = typename L::Octet;
    static Octet of(typename L::Quad quad) { return L::widen_pairwise(quad); }
};

// Where a run of footprint rows lies: x offsets first..last, the sums of
// the row's point `first` and the table place of the row's offset 0.
// The table place of a point moves by 1 along x and by Kx between rows.
template <class T>
struct RowRun {
    int32_t first, last;
    T* sums;
    const double* weights;
};

// The points of Rows footprint rows of one kind together, `row_step` sums
// and Kx table doubles apart.
template <class T, int N, KernelOrder Order, int Kind, int Rows, class L>
inline void splat_row(const RowRun<T>& run, int64_t row_step, int32_t kx,
                      const CornerOffsets<N>& offset, typename L::Quad carried,
                      typename CarriedPair<L>::Octet carried_pair)
{
    const int32_t both_last = std::min(run.last, kx - 1);
    int32_t rx = run.first;
    T* sums = run.sums;
    if (rx == 0) {
        splat_point<T, N, Order, Kind, true, false, Rows, L>(sums, row_step, run.weights, kx,
                                                              offset, carried);
        ++rx;
        sums += sums_per_point;
    }
    if constexpr (HasPairs<L>::value) {
        for (; rx < both_last; rx += 2, sums += 2 * sums_per_point)
            splat_two_points<T, N, Order, Kind, Rows, L>(sums, row_step, run.weights + rx, kx,
                                                         offset, carried_pair);
    }
    (void)carried_pair;
    for (; rx <= both_last; ++rx, sums += sums_per_point)
        splat_point<T, N, Order, Kind, true, true, Rows, L>(sums, row_step, run.weights + rx, kx,
                                                             offset, carried);
    if (rx <= run.last)
        splat_point<T, N, Order, Kind, false, true, Rows, L>(sums, row_step, run.weights + rx, kx,
                                                              offset, carried);
}

// `rows` footprint rows of one kind, two at a time.
template <class T, int N, KernelOrder Order, int Kind, class L>
void splat_rows(RowRun<T> run, int32_t rows, int64_t row_step, int32_t kx,
                const CornerOffsets<N>& offset, typename L::Quad carried)
{
    const auto carried_pair = CarriedPair<L>::of(carried);
    int32_t row = 0;
    for (; row + 1 < rows; row += 2) {
        splat_row<T, N, Order, Kind, 2, L>(run, row_step, kx, offset, carried, carried_pair);
        run.sums += 2 * row_step;
        run.weights += 2 * kx;
    }
    if (row < rows)
        splat_row<T, N, Order, Kind, 1, L>(run, row_step, kx, offset, carried, carried_pair);
}

template <class T, int N, KernelOrder Order, class L>
void splat_rows_of_kind(int kind, RowRun<T> run, int32_t rows, int64_t row_step, int32_t kx,
                        const CornerOffsets<N>& offset, typename L::Quad carried)
{
#define REGKERN_ROWS(K)                                                                  \
    case K:                                                                              \
        return splat_rows<T, N, Order, K, L>(run, rows, row_step, kx, offset, carried)
    switch (kind) {
        REGKERN_ROWS(0);
        REGKERN_ROWS(1);
        REGKERN_ROWS(2);
    }
    if constexpr (N == 3) {
        switch (kind) {
            REGKERN_ROWS(3);
            REGKERN_ROWS(4);
            REGKERN_ROWS(5);
            REGKERN_ROWS(6);
            REGKERN_ROWS(7);
            REGKERN_ROWS(8);
        }
    }
#undef REGKERN_ROWS
}

// Forms the share weights of the sample, corner by corner, as T values in
// double: table c holds W[c] x H[e] at kernel element e. Each table is
// rounded up to a multiple of 4 doubles, the kernel copy in double too.
template <class T, int N, class L>
void form_weights(const InversionSlab<T, N>& slab, const Sample<N>& sample)
{
    const int32_t size = slab.weight_table;
    double* to = slab.weights;
    for (int c = 0; c < (1 << N); ++c, to += size) {
        const typename L::Quad corner_weight = L::broadcast(sample.corner_weight[c]);
        for (int32_t e = 0; e < size; e += 4)
            L::store(to + e, StoredAs<L, T>::of(L::mul(corner_weight, L::load(slab.kernel + e))));
    }
}

// Adds every share of the sample that lands in the worker's slab.
template <class T, int N, KernelOrder Order, class L>
void splat_sample(const InversionSlab<T, N>& slab, const Sample<N>& sample)
{
    const FieldInversion<T, N>& job = *slab.job;
    const std::array<int32_t, N>& k = job.kernel_extent;
    std::array<int32_t, N> lo, hi;
    int64_t point = 0;        // in its layer, of footprint offset lo
    int64_t place = 0;        // in the tables, of footprint offset lo
    int64_t kernel_step = 1;  // kernel elements between neighbours along a
    for (int a = 0; a < N; ++a) {
        const int64_t lower = a == N - 1 ? slab.first : job.box_lo[a];
        const int64_t upper = a == N - 1 ? slab.end : job.box_hi[a];
        const int64_t reach = sample.reach_origin[a];
        const int64_t first = std::max<int64_t>(lower - reach, 0);
        const int64_t last = std::min<int64_t>(k[a], upper - 1 - reach);
        if (first > last) return;
        lo[a] = static_cast<int32_t>(first);
        hi[a] = static_cast<int32_t>(last);
        if (a < N - 1) point += (reach + first - lower) * slab.pitch[a];
        place += first * kernel_step;
        kernel_step *= k[a];
    }
    form_weights<T, N, L>(slab, sample);
    const typename L::Quad carried = L::load(sample.carried);
    const int32_t kx = k[0];
    const int64_t plane_step = N == 3 ? static_cast<int64_t>(kx) * k[1] : kx;
    RowRun<T> run;
    run.first = lo[0];
    run.last = hi[0];
    for (int32_t r_last = lo[N - 1]; r_last <= hi[N - 1]; ++r_last) {
        const int last_kind = axis_reach(r_last, k[N - 1]);
        const int64_t step = r_last - lo[N - 1];
        const int64_t layer = sample.reach_origin[N - 1] + r_last - slab.first;
        run.sums = slab.layer[layer] + point * sums_per_point;
        run.weights = slab.weights + place + step * plane_step - lo[0];
        if constexpr (N == 2) {
            splat_rows_of_kind<T, N, Order, L>(last_kind, run, 1, 0, kx, slab.corner, carried);
        } else {
            // Rows along y: offset 0, the offsets between, offset Ky.
            const int64_t row_step = slab.pitch[1] * sums_per_point;
            int32_t ry = lo[1];
            auto rows = [&](int kind, int32_t through) {
                if (ry > through) return;
                const int32_t count = through - ry + 1;
                splat_rows_of_kind<T, N, Order, L>(kind + 3 * last_kind, run, count, row_step,
                                                   kx, slab.corner, carried);
                ry += count;
                run.sums += count * row_step;
                run.weights += count * kx;
            };
            if (ry == 0) rows(lower_only, 0);
            rows(both_corners, std::min(hi[1], k[1] - 1));
            rows(upper_only, hi[1]);
        }
    }
}

}  // namespace detail
}  // namespace regkern
