// One sample of the joint histogram: its two positions shared between their
// neighbour bins and added to the three sums.
//
// Precision. Every working value is stored in the element type T. For
// T = float each value is defined as an expression evaluated in double and
// rounded to float; where all operands of such an expression are floats and
// it is a single +, -, * or /, the code writes it in T arithmetic instead:
// double carries more than 2 * 24 + 2 bits, so rounding the exact result to
// double and then to float gives the same float as rounding it once. Double
// arithmetic is written out where an operand is not a float (the offset
// x - L) or the result is not rounded to float at once (the product of two
// weights, added to a cell in double).
//
// This also keeps every float that was rounded from a double from being
// widened again: GCC 12's SLP vectoriser has been seen to drop such a round
// trip (treating (double)(float)v as v) in an earlier form of this code,
// which changed the single-precision results.
//
// The order of the additions per cell is part of the result: a sample adds
// in the order (x0, y0), (x1, y0), (x0, y1), (x1, y1), then x0, x1 of output 2
// and y0, y1 of output 3, and samples are added in index order. Only
// additions into different cells are ever reordered.
#pragma once

#include <cmath>
#include <cstdint>

#include "indexing.h"

namespace regkern {

template <class T>
struct JointbinsInputs {
    const T* first;   // N samples
    const T* second;  // at least N samples
    int32_t count;    // N
    T lower;          // L
    T upper;          // U
    T bin_value;      // K, finite and >= 1; B = trunc(K)
    int32_t bins;     // B, with B * B inside int32
};

// Samples of each image (0: image1, 1: image2) outside the bounds, counted
// where the accumulation clamps them: samples inside the bins never get
// there, so a call within its bounds does no counting at all. A position
// counts as above the bounds beyond K (1 + 2^-20), so that rounding cannot
// put a sample equal to U there.
struct JointbinsTally {
    double top;               // K (1 + 2^-20)
    int64_t outside[2];       // positions below 0 or above top
    int64_t not_finite[2];    // NaN and infinite positions
};

template <class T>
struct JointbinsOutputs {
    T* joint;   // B x B, zero-filled, cell (i, j) at i + j * B
    T* first;   // B, zero-filled
    T* second;  // B, zero-filled
    JointbinsTally* tally;
};

template <class T>
inline void tally_position(JointbinsTally& tally, int image, T position)
{
    if (!std::isfinite(position))
        ++tally.not_finite[image];
    else if (position < 0 || position > tally.top)
        ++tally.outside[image];
}

// The position s * (v - L) of a sample value v, rounded to T.
template <class T>
inline T bin_position(T value, double scale, double lower)
{
    return static_cast<T>(scale * (static_cast<double>(value) - lower));
}

// One axis of one sample: the neighbour bins x0 and x1 after the clamp, as
// indices, and their weights gx0 and gx1.
template <class T>
struct AxisShare {
    int32_t lo, hi;
    T w_lo, w_hi;
};

inline int32_t clamp_bin(int32_t bin, int32_t last)
{
    if (bin < 0) return 0;
    if (bin > last) return last;
    return bin;
}

// Below this magnitude truncation to int32 gives a position's floor exactly
// (stepped down for negative fractions) and x0 + 1 is exact in float and
// double.
constexpr double jointbins_exact_limit = 4194304.0;  // 2^22

// Shares a position that is not NaN between its two neighbour bins. The
// weights x1 - p and p - x0 come from the unclamped neighbours. A position so
// large (or infinite) that x0 + 1 is not exact in T would give weights of NaN
// or of a doubled total; its whole weight goes to its clamped bin instead.
template <class T>
inline AxisShare<T> share_position(T position, int32_t last)
{
    AxisShare<T> share;
    if (std::fabs(position) < jointbins_exact_limit) {
        // floor(-0.0) is -0.0, which makes p - x0 = +0.0; a floor from an
        // integer is +0.0, so -0.0 becomes +0.0 first (adding +0.0 changes
        // no other value).
        const T p = position + T(0);
        const int32_t truncated = static_cast<int32_t>(p);
        const int32_t lo = truncated - (static_cast<T>(truncated) > p ? 1 : 0);
        const T x0 = static_cast<T>(lo);
        share.w_lo = (x0 + T(1)) - p;
        share.w_hi = p - x0;
        share.lo = clamp_bin(lo, last);
        share.hi = clamp_bin(lo + 1, last);
        return share;
    }
    const T x0 = std::floor(position);
    const T x1 = x0 + T(1);
    if (static_cast<double>(x1) - static_cast<double>(x0) == 1.0) {
        share.w_lo = x1 - position;
        share.w_hi = position - x0;
    } else {
        share.w_lo = 1;
        share.w_hi = 0;
    }
    // Beyond 2^22 in magnitude: clamped to an edge bin.
    share.lo = x0 < 0 ? 0 : last;
    share.hi = x1 < 0 ? 0 : last;
    return share;
}

// A joint cell adds the product of two weights, formed in double.
template <class T>
inline void add_product(T& cell, T w1, T w2)
{
    cell = static_cast<T>(static_cast<double>(cell) +
                          static_cast<double>(w1) * static_cast<double>(w2));
}

// A single-image bin adds a weight (in T arithmetic, see the top).
template <class T>
inline void add_weight(T& cell, T w)
{
    cell = cell + w;
}

// Adds one sample whose two axes have been shared.
template <class T>
inline void add_shares(JointbinsOutputs<T> out, int32_t nb, const AxisShare<T>& x,
                       const AxisShare<T>& y)
{
    T* const row0 = out.joint + linear_index_2d(0, y.lo, nb);
    T* const row1 = out.joint + linear_index_2d(0, y.hi, nb);
    add_product(row0[x.lo], x.w_lo, y.w_lo);
    add_product(row0[x.hi], x.w_hi, y.w_lo);
    add_product(row1[x.lo], x.w_lo, y.w_hi);
    add_product(row1[x.hi], x.w_hi, y.w_hi);

    add_weight(out.first[x.lo], x.w_lo);
    add_weight(out.first[x.hi], x.w_hi);
    add_weight(out.second[y.lo], y.w_lo);
    add_weight(out.second[y.hi], y.w_hi);
}

// Adds the sample at positions (px, py) to the sums of B = nb bins.
//
// Most samples lie inside the bins on both axes, 0 <= p < B - 1: their floor
// is the truncation, x1 = x0 + 1 needs no clamp, and the four joint cells are
// two neighbouring pairs in neighbouring columns. Every other sample takes
// the general path, which clamps and guards infinite and huge positions; a
// NaN position adds nothing, although the sample still counts in N.
template <class T>
inline void add_positions(JointbinsOutputs<T> out, int32_t nb, T px, T py)
{
    // -0.0 becomes +0.0, as in share_position.
    const T qx = px + T(0), qy = py + T(0);
    const T inside_end = static_cast<T>(nb - 1);
    if (qx >= 0 && qx < inside_end && qy >= 0 && qy < inside_end) {
        const int32_t x0 = static_cast<int32_t>(qx), y0 = static_cast<int32_t>(qy);
        const T fx0 = static_cast<T>(x0), fy0 = static_cast<T>(y0);
        const T gx0 = (fx0 + T(1)) - qx, gx1 = qx - fx0;
        const T gy0 = (fy0 + T(1)) - qy, gy1 = qy - fy0;
        T* const cell = out.joint + linear_index_2d(x0, y0, nb);
        add_product(cell[0], gx0, gy0);
        add_product(cell[1], gx1, gy0);
        add_product(cell[nb], gx0, gy1);
        add_product(cell[nb + 1], gx1, gy1);
        add_weight(out.first[x0], gx0);
        add_weight(out.first[x0 + 1], gx1);
        add_weight(out.second[y0], gy0);
        add_weight(out.second[y0 + 1], gy1);
        return;
    }
    tally_position(*out.tally, 0, px);
    tally_position(*out.tally, 1, py);
    if (std::isnan(px) || std::isnan(py)) return;
    add_shares(out, nb, share_position(px, nb - 1), share_position(py, nb - 1));
}

}  // namespace regkern
