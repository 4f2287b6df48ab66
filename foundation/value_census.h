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

// What one pass learns of data[0, n) against an interval [lo, hi]: the
// values inside it (NaN never is), and the least and greatest value that is
// not NaN (+Inf and -Inf when every value is NaN), for the warning that an
// image fills only a sliver of the interval. Two or four values at a time
// with SSE2 where the processor has it: the pass costs about what reading
// the values costs.
template <class T>
struct ValueSpread {
    int64_t inside;
    T least, greatest;
};

template <class T>
ValueSpread<T> value_spread_portable(const T* data, int64_t n, T lo, T hi)
{
    ValueSpread<T> spread = {0, std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::infinity()};
    for (int64_t i = 0; i < n; ++i) {
        spread.inside += (data[i] >= lo) & (data[i] <= hi);
        if (data[i] < spread.least) spread.least = data[i];
        if (data[i] > spread.greatest) spread.greatest = data[i];
    }
    return spread;
}

template <class T>
void merge_spread(ValueSpread<T>& into, const ValueSpread<T>& part)
{
    into.inside += part.inside;
    if (part.least < into.least) into.least = part.least;
    if (part.greatest > into.greatest) into.greatest = part.greatest;
}

#ifdef REGKERN_X86_VECTORS
// A lane's compare mask is all ones (-1): subtracting it counts one. MINPD
// and MAXPD return their second operand when either is NaN, so a NaN value
// (the first operand) leaves the running extreme as it is.
REGKERN_SSE2 inline ValueSpread<double> value_spread_sse2(const double* data, int64_t n, double lo,
                                                          double hi)
{
    const __m128d low = _mm_set1_pd(lo), high = _mm_set1_pd(hi);
    __m128i count0 = _mm_setzero_si128(), count1 = _mm_setzero_si128();
    __m128d least0 = _mm_set1_pd(std::numeric_limits<double>::infinity()), least1 = least0;
    __m128d greatest0 = _mm_set1_pd(-std::numeric_limits<double>::infinity()), greatest1 = greatest0;
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128d a = _mm_loadu_pd(data + i), b = _mm_loadu_pd(data + i + 2);
        count0 = _mm_sub_epi64(count0, _mm_castpd_si128(_mm_and_pd(_mm_cmpge_pd(a, low), _mm_cmple_pd(a, high))));
        count1 = _mm_sub_epi64(count1, _mm_castpd_si128(_mm_and_pd(_mm_cmpge_pd(b, low), _mm_cmple_pd(b, high))));
        least0 = _mm_min_pd(a, least0);
        least1 = _mm_min_pd(b, least1);
        greatest0 = _mm_max_pd(a, greatest0);
        greatest1 = _mm_max_pd(b, greatest1);
    }
    int64_t lanes[2];
    double least[4], greatest[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(count0, count1));
    _mm_storeu_pd(least, least0);
    _mm_storeu_pd(least + 2, least1);
    _mm_storeu_pd(greatest, greatest0);
    _mm_storeu_pd(greatest + 2, greatest1);
    ValueSpread<double> spread = value_spread_portable(data + i, n - i, lo, hi);
    spread.inside += lanes[0] + lanes[1];
    for (int lane = 0; lane < 4; ++lane) merge_spread(spread, {0, least[lane], greatest[lane]});
    return spread;
}

// 32-bit lane counts: at most n / 8 per lane, within range for n < 2^34.
REGKERN_SSE2 inline ValueSpread<float> value_spread_sse2(const float* data, int64_t n, float lo,
                                                         float hi)
{
    const __m128 low = _mm_set1_ps(lo), high = _mm_set1_ps(hi);
    __m128i count0 = _mm_setzero_si128(), count1 = _mm_setzero_si128();
    __m128 least0 = _mm_set1_ps(std::numeric_limits<float>::infinity()), least1 = least0;
    __m128 greatest0 = _mm_set1_ps(-std::numeric_limits<float>::infinity()), greatest1 = greatest0;
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128 a = _mm_loadu_ps(data + i), b = _mm_loadu_ps(data + i + 4);
        count0 = _mm_sub_epi32(count0, _mm_castps_si128(_mm_and_ps(_mm_cmpge_ps(a, low), _mm_cmple_ps(a, high))));
        count1 = _mm_sub_epi32(count1, _mm_castps_si128(_mm_and_ps(_mm_cmpge_ps(b, low), _mm_cmple_ps(b, high))));
        least0 = _mm_min_ps(a, least0);
        least1 = _mm_min_ps(b, least1);
        greatest0 = _mm_max_ps(a, greatest0);
        greatest1 = _mm_max_ps(b, greatest1);
    }
    int32_t lanes[8];
    float least[8], greatest[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), count0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4), count1);
    _mm_storeu_ps(least, least0);
    _mm_storeu_ps(least + 4, least1);
    _mm_storeu_ps(greatest, greatest0);
    _mm_storeu_ps(greatest + 4, greatest1);
    ValueSpread<float> spread = value_spread_portable(data + i, n - i, lo, hi);
    for (int lane = 0; lane < 8; ++lane) {
        spread.inside += static_cast<uint32_t>(lanes[lane]);
        merge_spread(spread, {0, least[lane], greatest[lane]});
    }
    return spread;
}
#endif

template <class T>
ValueSpread<T> value_spread(const T* data, int64_t n, T lo, T hi)
{
#ifdef REGKERN_X86_VECTORS
    if (vector_path() >= VectorPath::sse2) return value_spread_sse2(data, n, lo, hi);
#endif
    return value_spread_portable(data, n, lo, hi);
}

// Whether more than half of the finite values of data[0, n) lie outside an
// interval that holds `inside` of them (value_spread), with the counts when
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

// The finite values of data[0, n): how many, and their least and greatest
// (NaN, NaN for none).
template <class T>
void finite_census(const T* data, int64_t n, int64_t& finite, double& least, double& greatest)
{
    finite = 0;
    for (int64_t i = 0; i < n; ++i) finite += std::isfinite(data[i]) ? 1 : 0;
    finite_extremes(data, n, least, greatest);
}

// An image whose values, each clamped to the interval [lo, hi] as the bins
// clamp them, span less than this share of it fills a sliver of the bins:
// images scaled to [0 1] against [0 255] (0.4 %), or 8-bit intensities
// against a 16-bit range (0.4 %), give a constant or two-level remapping and
// a joint histogram with nearly every sample in one cell. Sound calls come
// nowhere near: an image of real contrast spans a good part of the interval
// it is binned in. An image of one value (a span of 0) is left alone: no
// interval spreads it.
constexpr double sliver_share = 1.0 / 32;

inline double clamped_span(double least, double greatest, double lo, double hi)
{
    return std::fmin(greatest, hi) - std::fmax(least, lo);
}

inline bool fills_sliver(double least, double greatest, double lo, double hi)
{
    const double span = clamped_span(least, greatest, lo, hi);
    return span > 0 && span < sliver_share * (hi - lo);
}

// An image that fills a sliver of the interval, as the warning reports it.
struct SliverImage {
    InputName name;
    double share;            // of the interval its clamped values span
    double least, greatest;  // its finite extremes
};

// Warns `condition` that the listed images fill a sliver of `interval`
// (e.g. "range (input 5), [0 255]") with the share and extremes of each,
// and `fitting` (e.g. "a range that fits them, [0 1]") as the fix; an
// empty `fitting` (the images together span the interval already: one of
// them is on another scale) leaves the fix to scaling them.
void warn_sliver(GatewayWarnings& warnings, const char* condition,
                 const std::vector<SliverImage>& images, const std::string& interval,
                 const std::string& fitting, bool as_single);

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
