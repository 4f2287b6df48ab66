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
#include "vector_path.h"

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

// Values of data[0, n) inside [lo, hi] (NaN never is), two or four at a
// time with SSE2 where the processor has it: the pass costs about what
// reading the values costs.
template <class T>
int64_t count_inside_portable(const T* data, int64_t n, T lo, T hi)
{
    int64_t inside[2] = {0, 0};
    int64_t i = 0;
    for (; i + 1 < n; i += 2)
        for (int lane = 0; lane < 2; ++lane)
            inside[lane] += (data[i + lane] >= lo) & (data[i + lane] <= hi);
    for (; i < n; ++i) inside[0] += (data[i] >= lo) & (data[i] <= hi);
    return inside[0] + inside[1];
}

#ifdef REGKERN_X86_VECTORS
// A lane's compare mask is all ones (-1): subtracting it counts one.
REGKERN_SSE2 inline int64_t count_inside_sse2(const double* data, int64_t n, double lo, double hi)
{
    const __m128d low = _mm_set1_pd(lo), high = _mm_set1_pd(hi);
    __m128i count0 = _mm_setzero_si128(), count1 = _mm_setzero_si128();
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128d a = _mm_loadu_pd(data + i), b = _mm_loadu_pd(data + i + 2);
        count0 = _mm_sub_epi64(count0, _mm_castpd_si128(_mm_and_pd(_mm_cmpge_pd(a, low), _mm_cmple_pd(a, high))));
        count1 = _mm_sub_epi64(count1, _mm_castpd_si128(_mm_and_pd(_mm_cmpge_pd(b, low), _mm_cmple_pd(b, high))));
    }
    int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(count0, count1));
    return lanes[0] + lanes[1] + count_inside_portable(data + i, n - i, lo, hi);
}

// 32-bit lane counts: at most n / 8 per lane, within range for n < 2^34.
REGKERN_SSE2 inline int64_t count_inside_sse2(const float* data, int64_t n, float lo, float hi)
{
    const __m128 low = _mm_set1_ps(lo), high = _mm_set1_ps(hi);
    __m128i count0 = _mm_setzero_si128(), count1 = _mm_setzero_si128();
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128 a = _mm_loadu_ps(data + i), b = _mm_loadu_ps(data + i + 4);
        count0 = _mm_sub_epi32(count0, _mm_castps_si128(_mm_and_ps(_mm_cmpge_ps(a, low), _mm_cmple_ps(a, high))));
        count1 = _mm_sub_epi32(count1, _mm_castps_si128(_mm_and_ps(_mm_cmpge_ps(b, low), _mm_cmple_ps(b, high))));
    }
    int32_t lanes[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), count0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4), count1);
    int64_t total = 0;
    for (int32_t lane : lanes) total += static_cast<uint32_t>(lane);
    return total + count_inside_portable(data + i, n - i, lo, hi);
}
#endif

template <class T>
int64_t count_inside(const T* data, int64_t n, T lo, T hi)
{
#ifdef REGKERN_X86_VECTORS
    if (vector_path() >= VectorPath::sse2) return count_inside_sse2(data, n, lo, hi);
#endif
    return count_inside_portable(data, n, lo, hi);
}

// Whether more than half of the finite values of data[0, n) lie outside an
// interval that holds `inside` of them (count_inside), with the counts when
// they do. The finite values are counted only when fewer than half lie
// inside, which no sound call comes near.
template <class T>
bool mostly_outside(const T* data, int64_t n, int64_t inside, RangeCensus& census)
{
    if (2 * inside >= n) return false;
    census.finite = 0;
    for (int64_t i = 0; i < n; ++i) census.finite += std::isfinite(data[i]) ? 1 : 0;
    census.outside = census.finite - inside;
    return mostly_outside(census);
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
