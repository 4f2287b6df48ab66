// The joint histogram of a call cut into chunks of samples (the chunked
// front end's route past 2^31 - 1 samples): one partial per chunk, one
// combine in chunk order.
//
// A chunk's partial is the whole call on that chunk before its division:
// the unnormalised sums in T (every cell's additions in sample order, the
// whole call's arithmetic), the chunk's sample count and the census of the
// outOfBounds warning. The combine adds the partials cell by cell in double
// in chunk order (chunk 0 first), rounds each cell to T once and divides it
// by the total count in T, as the whole call divides. The same chunks give
// the same bits whatever runs them; a single chunk gives the whole call's.
//
// The bound against the whole call. Every addend is >= 0 and is formed the
// same way in both (the same sample gives the same shares), so only the
// order of the additions differs. A cell that takes m additions in the
// whole call holds W with |W N - S| <= (m - 1) u S to first order (S the
// exact sum of its addends, u = eps(T) / 2, the rounding of one addition;
// in single precision the addition is rounded through double, which adds
// 2^-29 u). The chunked cell C: each chunk's sum takes fewer additions, the
// double sum of c chunks adds (c - 1) 2^-53, the rounding to T adds u, and
// both divide by the same N (one more u each). Hence, to first order,
//     |C - W| <= (2 m + 2 + c 2^-52 / eps(T)) u max(|C|, |W|),
// with m at most 4 N for a joint cell and 2 N for a bin of a single-image
// histogram (a sample adds to a cell at most four times, when clamped on
// both axes). tests/cpp/test_regions.cpp holds the combine to it.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "jointbins.h"
#include "jointbins_check.h"

namespace regkern {

// What a chunk tells the combine besides its sums: its samples and, per
// image, the finite ones and those outside the bounds.
struct JointbinsCensus {
    int64_t count = 0;
    RangeCensus image[2];
};

// Fills the zero-filled outputs of a plan (check_jointbins on the chunk's
// inputs) with the chunk's unnormalised sums and returns its census.
template <class T>
JointbinsCensus run_jointbins_partial(const JointbinsPlan<T>& plan, T* joint, T* first, T* second)
{
    JointbinsTally tally = {static_cast<double>(plan.in.bin_value) * (1.0 + 0x1p-20), {0, 0}, {0, 0}};
    jointbins_sum(plan.in, JointbinsOutputs<T>{joint, first, second, &tally});
    JointbinsCensus census;
    census.count = plan.in.count;
    for (int k = 0; k < 2; ++k)
        census.image[k] = RangeCensus{plan.in.count - tally.not_finite[k], tally.outside[k]};
    return census;
}

// The census of the chunks together (summed in any order: integers).
inline JointbinsCensus total_census(const std::vector<JointbinsCensus>& chunks)
{
    JointbinsCensus total;
    for (const JointbinsCensus& chunk : chunks) {
        total.count += chunk.count;
        for (int k = 0; k < 2; ++k) {
            total.image[k].finite += chunk.image[k].finite;
            total.image[k].outside += chunk.image[k].outside;
        }
    }
    return total;
}

// Which images the outOfBounds warning names, from the total census: only
// for those does the combine need the finite extremes (finite_extremes per
// chunk, least by fmin and greatest by fmax over the chunks).
template <class T>
std::array<bool, 2> jointbins_mostly_outside(const JointbinsCensus& total, T lower, T upper)
{
    std::array<bool, 2> named = {false, false};
    if (total.count == 0 || !std::isfinite(lower) || !std::isfinite(upper) || !(lower < upper))
        return named;
    for (int k = 0; k < 2; ++k) named[k] = mostly_outside(total.image[k]);
    return named;
}

// The combine: `partial[j]` points at chunk j's sums, `cells` of them
// (B x B for the joint histogram, B for a single-image one), `count` the
// total samples. Writes the normalised histogram to `out`.
template <class T>
void combine_jointbins_sums(const std::vector<const T*>& partial, int64_t cells, int64_t count, T* out)
{
    const T divisor = static_cast<T>(count);
    for (int64_t i = 0; i < cells; ++i) {
        double sum = 0.0;
        for (const T* chunk : partial) sum += static_cast<double>(chunk[i]);
        T cell = static_cast<T>(sum);
        divide_by(cell, divisor);
        out[i] = cell;
    }
}

// What a chunked call knows of an image from its chunks (fmin and fmax over
// them): its finite extremes, and its least and greatest value that is not
// NaN (value_spread's, against the bounds).
struct JointbinsImageEnds {
    double least, greatest;
    double spread_least, spread_greatest;
};

// The combine's warnings: the whole call's outOfBounds, from the total
// census and the images' finite extremes, and its narrowData, from the
// combined histograms (first, second: `bins` cells each) and the images'
// spreads.
template <class T>
void warn_jointbins_combined(T lower, T upper, int32_t bins, const JointbinsCensus& total,
                             const std::array<JointbinsImageEnds, 2>& ends,
                             const T* const (&histograms)[2], GatewayWarnings& warnings)
{
    const auto extremes = [&](int k, double& least, double& greatest) {
        least = ends[k].least;
        greatest = ends[k].greatest;
    };
    warn_jointbins_outside_census(lower, upper, total.count, total.image, extremes, warnings);
    if (total.count == 0 || !std::isfinite(lower) || !std::isfinite(upper) || !(lower < upper))
        return;
    const bool eligible[2] = {
        !mostly_outside(total.image[0]) && few_cells_filled(histograms[0], bins),
        !mostly_outside(total.image[1]) && few_cells_filled(histograms[1], bins)};
    warn_jointbins_sliver(
        lower, upper, eligible,
        [&](int k) { return std::array<double, 2>{ends[k].spread_least, ends[k].spread_greatest}; },
        extremes, warnings);
}

}  // namespace regkern
