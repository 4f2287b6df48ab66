// Normalised joint histogram of two images and the histogram of each, with
// every sample shared linearly between its two nearest bins on each axis.
// One template serves both precisions; jointbins_sample.h says where the
// single-precision results are rounded and in which order cells add.
#pragma once

#include <cstdint>

#include "jointbins_pairs.h"
#include "jointbins_sample.h"
#include "vector_path.h"

namespace regkern {

template <class T>
inline void divide_by(T& cell, T count)
{
    cell = cell / count;  // in T arithmetic, see jointbins_sample.h
}

// Adds every sample into the outputs (zero-filled, or a sum to go on
// from), in one pass and in sample order: the unnormalised sums.
template <class T>
void jointbins_sum(const JointbinsInputs<T>& in, const JointbinsOutputs<T>& out)
{
    const int32_t nb = in.bins;
    const double lower = static_cast<double>(in.lower);
    // The scale uses K itself, not B: L lands on position 0 and U on K.
    const T scale = static_cast<T>(static_cast<double>(in.bin_value) /
                                   (static_cast<double>(in.upper) - lower));

    int32_t k = vector_path() >= VectorPath::sse2 ? accumulate_pairs(in, out, scale, lower) : 0;
    for (; k < in.count; ++k)
        add_positions(out, nb, bin_position(in.first[k], scale, lower),
                      bin_position(in.second[k], scale, lower));
}

// Divides the sums of B = nb bins by the sample count N (N = 0 leaves
// 0/0 = NaN everywhere).
template <class T>
void jointbins_normalise(const JointbinsOutputs<T>& out, int32_t nb, T count)
{
    for (int32_t i = 0; i < nb; ++i) {
        divide_by(out.first[i], count);
        divide_by(out.second[i], count);
    }
    const int32_t cells = nb * nb;
    for (int32_t i = 0; i < cells; ++i) divide_by(out.joint[i], count);
}

// Accumulates every sample into the zero-filled outputs, in one pass and in
// sample order, then divides all of them by N.
template <class T>
void jointbins_accumulate(const JointbinsInputs<T>& in, const JointbinsOutputs<T>& out)
{
    jointbins_sum(in, out);
    jointbins_normalise(out, in.bins, static_cast<T>(in.count));
}

}  // namespace regkern
