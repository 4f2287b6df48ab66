// Normalised joint histogram of two images and the histogram of each, with
// every sample shared linearly between its two nearest bins on each axis.
//
// One template serves both precisions. Every working value is stored in the
// element type T and every expression between two stores is evaluated in
// double from T operands; for T = double the casts are no-ops, for T = float
// they are the rounding points the single-precision results depend on. The
// order of the additions per cell is part of the result, so the loop adds in
// one fixed order and must not be reordered or vectorised across samples.
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

template <class T>
struct JointbinsOutputs {
    T* joint;   // B x B, zero-filled, cell (i, j) at i + j * B
    T* first;   // B, zero-filled
    T* second;  // B, zero-filled
};

// One axis of one sample: the two neighbour bins (clamped, as T) and their
// weights.
template <class T>
struct BinShare {
    T lo, hi;      // x0, x1 after the clamp
    T w_lo, w_hi;  // gx0, gx1
};

template <class T>
inline T clamp_bin(T bin, T last)
{
    if (bin < 0) return 0;
    if (bin > last) return last;
    return bin;
}

// Shares a finite or infinite position between its two neighbour bins.
// A position so large (or infinite) that x0 + 1 is not exact in T would give
// weights of NaN or of a doubled total; its whole weight goes to its clamped
// bin instead. Every other position takes the weights x1 - p and p - x0 from
// the unclamped neighbours.
template <class T>
inline BinShare<T> share_position(T position, T last)
{
    const T lo = static_cast<T>(std::floor(static_cast<double>(position)));
    const T hi = static_cast<T>(static_cast<double>(lo) + 1.0);
    BinShare<T> share;
    if (static_cast<double>(hi) - static_cast<double>(lo) == 1.0) {
        share.w_lo = static_cast<T>(static_cast<double>(hi) - static_cast<double>(position));
        share.w_hi = static_cast<T>(static_cast<double>(position) - static_cast<double>(lo));
    } else {
        share.w_lo = 1;
        share.w_hi = 0;
    }
    share.lo = clamp_bin(lo, last);
    share.hi = clamp_bin(hi, last);
    return share;
}

template <class T>
inline void add_to(T& cell, double addend)
{
    cell = static_cast<T>(static_cast<double>(cell) + addend);
}

template <class T>
inline void divide_by(T& cell, T count)
{
    cell = static_cast<T>(static_cast<double>(cell) / static_cast<double>(count));
}

// Accumulates every sample into the zero-filled outputs, then divides all of
// them by N (N = 0 leaves 0/0 = NaN everywhere).
template <class T>
void jointbins_accumulate(const JointbinsInputs<T>& in, const JointbinsOutputs<T>& out)
{
    const int32_t nb = in.bins;
    const double lower = static_cast<double>(in.lower);
    // The scale uses K itself, not B: L lands on position 0 and U on K.
    const T scale = static_cast<T>(static_cast<double>(in.bin_value) /
                                   (static_cast<double>(in.upper) - lower));
    const T last = static_cast<T>(nb - 1);

    for (int32_t k = 0; k < in.count; ++k) {
        const T px = static_cast<T>(static_cast<double>(scale) *
                                    (static_cast<double>(in.first[k]) - lower));
        const T py = static_cast<T>(static_cast<double>(scale) *
                                    (static_cast<double>(in.second[k]) - lower));
        // A NaN position has no bin at all: the sample adds nothing, although
        // it still counts in N.
        if (std::isnan(px) || std::isnan(py)) continue;

        const BinShare<T> x = share_position(px, last);
        const BinShare<T> y = share_position(py, last);
        const int32_t x0 = to_int(x.lo), x1 = to_int(x.hi);
        const int32_t y0 = to_int(y.lo), y1 = to_int(y.hi);
        const double gx0 = x.w_lo, gx1 = x.w_hi, gy0 = y.w_lo, gy1 = y.w_hi;

        add_to(out.joint[linear_index_2d(x0, y0, nb)], gx0 * gy0);
        add_to(out.joint[linear_index_2d(x1, y0, nb)], gx1 * gy0);
        add_to(out.joint[linear_index_2d(x0, y1, nb)], gx0 * gy1);
        add_to(out.joint[linear_index_2d(x1, y1, nb)], gx1 * gy1);

        add_to(out.first[x0], gx0);
        add_to(out.first[x1], gx1);
        add_to(out.second[y0], gy0);
        add_to(out.second[y1], gy1);
    }

    const T count = static_cast<T>(in.count);
    for (int32_t i = 0; i < nb; ++i) {
        divide_by(out.first[i], count);
        divide_by(out.second[i], count);
    }
    const int32_t cells = nb * nb;
    for (int32_t i = 0; i < cells; ++i) divide_by(out.joint[i], count);
}

}  // namespace regkern
