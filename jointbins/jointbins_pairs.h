// Two samples at a time with SSE2, which every x86-64 processor has.
//
// The positions, the inside test, the floors and the weights of samples k and
// k + 1 are computed side by side in vector lanes, with the same operations
// and roundings as add_positions. The sums are then updated sample by
// sample, k before k + 1, so every cell still receives its additions in
// sample order. Within a sample all eight cells differ, so their order is
// free: the joint cells (x0, y) and (x1, y) are updated as one vector, and so
// are, in single precision, x0 and x1 of a single-image histogram. A sample
// outside the bins on either axis goes to add_positions, in its turn.
//
// Which updates go as vectors was measured on the standard image pair:
// neighbour samples often share cells, and a two-cell read that overlaps only
// half of a pending two-cell write must wait for that write to reach the
// cache.
//
// accumulate_pairs returns how many samples it added (an even count); the
// caller adds the rest. It may only run where vector_path() allows SSE2;
// where there is no SSE2 form it adds none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jointbins_sample.h"
#include "vector_path.h"

namespace regkern {

#ifdef REGKERN_X86_VECTORS

// *cell += v[0].
REGKERN_SSE2 inline void add_lane(double* cell, __m128d v)
{
    _mm_store_sd(cell, _mm_add_sd(v, _mm_load_sd(cell)));
}

// Adds one inside sample of double precision: bins = x0 | y0 << 32, gx and gy
// the weight pairs [g0, g1] of each axis.
REGKERN_SSE2 inline void add_inside(const JointbinsOutputs<double>& out, int32_t nb, uint64_t bins,
                       __m128d gx, __m128d gy)
{
    // Inside bins are at least 0: unsigned, they need no sign extension.
    const size_t x0 = static_cast<uint32_t>(bins), y0 = static_cast<uint32_t>(bins >> 32);
    double* const row0 = out.joint + (x0 + y0 * static_cast<size_t>(nb));
    double* const row1 = row0 + nb;
    double* const first = out.first + x0;
    double* const second = out.second + y0;
    // [gx0 * gy0, gx1 * gy0] and [gx0 * gy1, gx1 * gy1]
    const __m128d add0 = _mm_mul_pd(gx, _mm_unpacklo_pd(gy, gy));
    const __m128d add1 = _mm_mul_pd(gx, _mm_unpackhi_pd(gy, gy));
    // The single-image bins first, and one at a time: neighbour samples
    // share them most often (x0 of one is x1 of the next).
    add_lane(first, gx);
    add_lane(second, gy);
    add_lane(first + 1, _mm_unpackhi_pd(gx, gx));
    add_lane(second + 1, _mm_unpackhi_pd(gy, gy));
    _mm_storeu_pd(row0, _mm_add_pd(_mm_loadu_pd(row0), add0));
    _mm_storeu_pd(row1, _mm_add_pd(_mm_loadu_pd(row1), add1));
}

REGKERN_SSE2 inline int32_t accumulate_pairs(const JointbinsInputs<double>& in,
                                const JointbinsOutputs<double>& sums, double scale, double lower)
{
    // Locals, as the vector stores may alias anything in memory.
    const JointbinsOutputs<double> out = sums;
    const int32_t nb = in.bins, count = in.count;
    const double* const first = in.first;
    const double* const second = in.second;
    const __m128d scale2 = _mm_set1_pd(scale), lower2 = _mm_set1_pd(lower);
    const __m128d one = _mm_set1_pd(1.0);
    // Unsigned comparison through signed: both sides with the sign bit flipped.
    const __m128i sign = _mm_set1_epi32(INT32_MIN);
    const __m128i inside_end = _mm_xor_si128(_mm_set1_epi32(nb - 1), sign);
    int32_t k = 0;
    for (; k + 1 < count; k += 2) {
        // [p_k, p_k+1] on each axis
        const __m128d px = _mm_mul_pd(scale2, _mm_sub_pd(_mm_loadu_pd(first + k), lower2));
        const __m128d py = _mm_mul_pd(scale2, _mm_sub_pd(_mm_loadu_pd(second + k), lower2));
        // Truncations; NaN and positions beyond the int32 range give INT32_MIN.
        const __m128i tx = _mm_cvttpd_epi32(px), ty = _mm_cvttpd_epi32(py);
        // [x0_k, y0_k, x0_k+1, y0_k+1]
        const __m128i bins = _mm_unpacklo_epi32(tx, ty);
        // 0 <= p < B - 1 on both axes of both samples: every truncation in
        // [0, B - 2] as unsigned, and no sign bit set. The sign bit also
        // sends those in (-1, 0), which truncate to 0, and -0.0 (see
        // add_positions) to the general path.
        const int in_range = _mm_movemask_ps(
            _mm_castsi128_ps(_mm_cmplt_epi32(_mm_xor_si128(bins, sign), inside_end)));
        const int negative = _mm_movemask_pd(_mm_or_pd(px, py));
        // The floors are the truncations. x1 - p equals 1 - (p - x0) exactly:
        // for x0 = 0 both are 1 - p, and for x0 >= 1 p lies within a factor
        // of 2 of x0 and of x1, so both differences are exact. (Lanes of a
        // sample outside the bins are computed but not used.)
        const __m128d fx = _mm_cvtepi32_pd(tx), fy = _mm_cvtepi32_pd(ty);
        const __m128d gx1 = _mm_sub_pd(px, fx), gy1 = _mm_sub_pd(py, fy);
        const __m128d gx0 = _mm_sub_pd(one, gx1), gy0 = _mm_sub_pd(one, gy1);
        const uint64_t bins_k = static_cast<uint64_t>(_mm_cvtsi128_si64(bins));
        const uint64_t bins_next =
            static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(bins, bins)));
        if (in_range == 15 && negative == 0) {
            add_inside(out, nb, bins_k, _mm_unpacklo_pd(gx0, gx1), _mm_unpacklo_pd(gy0, gy1));
            add_inside(out, nb, bins_next, _mm_unpackhi_pd(gx0, gx1), _mm_unpackhi_pd(gy0, gy1));
            continue;
        }
        // A sample outside the bins (on the last bin's far side, most often)
        // takes the general path; its neighbour, if inside, need not.
        if ((in_range & 3) == 3 && (negative & 1) == 0)
            add_inside(out, nb, bins_k, _mm_unpacklo_pd(gx0, gx1), _mm_unpacklo_pd(gy0, gy1));
        else
            add_positions(out, nb, _mm_cvtsd_f64(px), _mm_cvtsd_f64(py));
        if ((in_range & 12) == 12 && (negative & 2) == 0)
            add_inside(out, nb, bins_next, _mm_unpackhi_pd(gx0, gx1), _mm_unpackhi_pd(gy0, gy1));
        else
            add_positions(out, nb, _mm_cvtsd_f64(_mm_unpackhi_pd(px, px)),
                          _mm_cvtsd_f64(_mm_unpackhi_pd(py, py)));
    }
    return k;
}

// Two floats from or to memory, in the low lanes.
REGKERN_SSE2 inline __m128 load_two(const float* p)
{
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

REGKERN_SSE2 inline void store_two(float* p, __m128 v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
}

// Adds one inside sample of single precision: bins = x0 | y0 << 32, gx and gy
// the float weight pairs [g0, g1] of each axis in their low lanes. The joint
// cells add in double and round to float; the single-image bins add in float
// (see the top of jointbins_sample.h).
REGKERN_SSE2 inline void add_inside(const JointbinsOutputs<float>& out, int32_t nb, uint64_t bins, __m128 gx,
                       __m128 gy)
{
    const size_t x0 = static_cast<uint32_t>(bins), y0 = static_cast<uint32_t>(bins >> 32);
    float* const row0 = out.joint + (x0 + y0 * static_cast<size_t>(nb));
    float* const row1 = row0 + nb;
    float* const first = out.first + x0;
    float* const second = out.second + y0;
    const __m128d gxd = _mm_cvtps_pd(gx), gyd = _mm_cvtps_pd(gy);
    const __m128d add0 = _mm_mul_pd(gxd, _mm_unpacklo_pd(gyd, gyd));
    const __m128d add1 = _mm_mul_pd(gxd, _mm_unpackhi_pd(gyd, gyd));
    store_two(first, _mm_add_ps(load_two(first), gx));
    store_two(second, _mm_add_ps(load_two(second), gy));
    store_two(row0, _mm_cvtpd_ps(_mm_add_pd(_mm_cvtps_pd(load_two(row0)), add0)));
    store_two(row1, _mm_cvtpd_ps(_mm_add_pd(_mm_cvtps_pd(load_two(row1)), add1)));
}

REGKERN_SSE2 inline int32_t accumulate_pairs(const JointbinsInputs<float>& in,
                                const JointbinsOutputs<float>& sums, double scale, double lower)
{
    const JointbinsOutputs<float> out = sums;
    const int32_t nb = in.bins, count = in.count;
    const float* const first = in.first;
    const float* const second = in.second;
    const __m128d scale2 = _mm_set1_pd(scale), lower2 = _mm_set1_pd(lower);
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 inside_end = _mm_set1_ps(static_cast<float>(nb - 1));
    int32_t k = 0;
    for (; k + 1 < count; k += 2) {
        // Positions rounded to float: [px_k, px_k+1, py_k, py_k+1]
        const __m128 px = _mm_cvtpd_ps(
            _mm_mul_pd(scale2, _mm_sub_pd(_mm_cvtps_pd(load_two(first + k)), lower2)));
        const __m128 py = _mm_cvtpd_ps(
            _mm_mul_pd(scale2, _mm_sub_pd(_mm_cvtps_pd(load_two(second + k)), lower2)));
        const __m128 p = _mm_movelh_ps(px, py);
        // 0 <= p < B - 1: below the end and no sign bit set (which also
        // sends -0.0, see add_positions, to the general path). Lanes 0 and 2
        // are sample k, lanes 1 and 3 sample k + 1.
        const int inside = _mm_movemask_ps(_mm_cmplt_ps(p, inside_end)) & ~_mm_movemask_ps(p);
        const __m128i t = _mm_cvttps_epi32(p);
        const __m128 f = _mm_cvtepi32_ps(t);
        // gx0 as 1 - gx1, exactly equal (see the double-precision loop).
        const __m128 g1 = _mm_sub_ps(p, f), g0 = _mm_sub_ps(one, g1);
        // [gx0_k, gx1_k, gx0_k+1, gx1_k+1] and the same for y
        const __m128 gx = _mm_unpacklo_ps(g0, g1), gy = _mm_unpackhi_ps(g0, g1);
        // [x0_k, y0_k, x0_k+1, y0_k+1]
        const __m128i bins = _mm_shuffle_epi32(t, _MM_SHUFFLE(3, 1, 2, 0));
        const uint64_t bins_k = static_cast<uint64_t>(_mm_cvtsi128_si64(bins));
        const uint64_t bins_next =
            static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(bins, bins)));
        // A sample outside the bins takes the general path; its neighbour,
        // if inside, need not.
        if ((inside & 5) == 5)
            add_inside(out, nb, bins_k, gx, gy);
        else
            add_positions(out, nb, _mm_cvtss_f32(p), _mm_cvtss_f32(_mm_movehl_ps(p, p)));
        if ((inside & 10) == 10) {
            add_inside(out, nb, bins_next, _mm_movehl_ps(gx, gx), _mm_movehl_ps(gy, gy));
        } else {
            const __m128 next = _mm_shuffle_ps(p, p, _MM_SHUFFLE(3, 3, 3, 1));
            add_positions(out, nb, _mm_cvtss_f32(next), _mm_cvtss_f32(_mm_movehl_ps(next, next)));
        }
    }
    return k;
}

#else

template <class T>
inline int32_t accumulate_pairs(const JointbinsInputs<T>&, const JointbinsOutputs<T>&, double,
                                double)
{
    return 0;
}

#endif

}  // namespace regkern
