// How the values of an image lie against the interval a call gives for its
// intensities, so that a call whose images mostly lie outside it (integer
// intensities 0..255 against the range [0 1], say) is warned of. Every such
// sample counts in an edge bin, so the results are valid but useless.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "failure.h"
#include "plain_array.h"

namespace regkern {

// Finite values, and how many of them lie outside the interval.
struct RangeCensus {
    int64_t finite = 0;
    int64_t outside = 0;
};

// More than half of the finite values outside: no sound call comes near
// that, while an image in another unit (0..255 against [0 1]) has nearly
// all of them outside.
inline bool mostly_outside(const RangeCensus& census)
{
    return census.outside > census.finite - census.outside;
}

// Counts the n values against [lo, hi] (both finite, lo <= hi). Branch-free,
// with two interleaved sets of counters, so that the pass costs about what
// reading the values costs.
template <class T>
RangeCensus range_census(const T* data, int64_t n, T lo, T hi)
{
    const T largest = std::numeric_limits<T>::max();
    int64_t finite[2] = {0, 0}, inside[2] = {0, 0};
    int64_t i = 0;
    for (; i + 1 < n; i += 2) {
        for (int lane = 0; lane < 2; ++lane) {
            const T v = data[i + lane];
            finite[lane] += std::fabs(v) <= largest;
            inside[lane] += (v >= lo) & (v <= hi);
        }
    }
    for (; i < n; ++i) {
        finite[0] += std::fabs(data[i]) <= largest;
        inside[0] += (data[i] >= lo) & (data[i] <= hi);
    }
    RangeCensus census;
    census.finite = finite[0] + finite[1];
    census.outside = census.finite - inside[0] - inside[1];
    return census;
}

// The least and greatest finite values (NaN and NaN when there is none). Run
// only once a warning is certain.
template <class T>
void finite_extremes(const T* data, int64_t n, double& least, double& greatest)
{
    least = std::nan("");
    greatest = std::nan("");
    for (int64_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(data[i]);
        if (!std::isfinite(v)) continue;
        if (!(v >= least)) least = v;
        if (!(v <= greatest)) greatest = v;
    }
}

// An image that lies mostly outside the interval, as a warning reports it.
struct OutsideImage {
    InputName name;
    RangeCensus census;
    double least, greatest;  // its finite extremes
};

// Warns `condition` that the listed images lie mostly outside `interval`
// (e.g. "range (input 5), [0 1]"), with the share and extremes of each and
// the interval that spans all of them (`spanning`, e.g. "[1 249]") as the fix.
void warn_outside(GatewayWarnings& warnings, const char* condition,
                  const std::vector<OutsideImage>& images, const std::string& interval,
                  const std::string& spanning, bool as_single);

}  // namespace regkern
