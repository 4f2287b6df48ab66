// Two doubles worked on lane by lane, so that two neighbouring grid points
// can be splatted together. Every operation rounds each lane exactly as the
// scalar operation would (IEEE double, round to nearest), so results do not
// depend on which form is built: SSE2 where the compiler targets it, plain
// doubles elsewhere or when REGKERN_PAIR_PORTABLE is defined.
#pragma once

#if !defined(REGKERN_PAIR_PORTABLE) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define REGKERN_PAIR_SSE2 1
#include <emmintrin.h>
#endif

namespace regkern {

#ifdef REGKERN_PAIR_SSE2

struct Pair {
    __m128d lanes;
};

inline Pair pair_of(double x) { return {_mm_set1_pd(x)}; }
inline Pair add(Pair a, Pair b) { return {_mm_add_pd(a.lanes, b.lanes)}; }
inline Pair mul(Pair a, Pair b) { return {_mm_mul_pd(a.lanes, b.lanes)}; }

inline Pair load_pair(const double* p) { return {_mm_loadu_pd(p)}; }
inline void store_pair(double* p, Pair x) { _mm_storeu_pd(p, x.lanes); }

// Floats are widened on load (exact) and rounded to float on store.
inline Pair load_pair(const float* p)
{
    return {_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))))};
}
inline void store_pair(float* p, Pair x)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(x.lanes)));
}
inline Pair round_to_float(Pair x) { return {_mm_cvtps_pd(_mm_cvtpd_ps(x.lanes))}; }

#else

struct Pair {
    double lanes[2];
};

inline Pair pair_of(double x) { return {{x, x}}; }
inline Pair add(Pair a, Pair b) { return {{a.lanes[0] + b.lanes[0], a.lanes[1] + b.lanes[1]}}; }
inline Pair mul(Pair a, Pair b) { return {{a.lanes[0] * b.lanes[0], a.lanes[1] * b.lanes[1]}}; }

inline Pair load_pair(const double* p) { return {{p[0], p[1]}}; }
inline void store_pair(double* p, Pair x)
{
    p[0] = x.lanes[0];
    p[1] = x.lanes[1];
}

inline Pair load_pair(const float* p) { return {{p[0], p[1]}}; }
inline void store_pair(float* p, Pair x)
{
    p[0] = static_cast<float>(x.lanes[0]);
    p[1] = static_cast<float>(x.lanes[1]);
}
// Through float variables the compiler must keep: GCC 12 at -O2 turns two
// neighbouring double-to-float-to-double round trips into a vector one and
// then drops it, keeping the unrounded doubles.
inline Pair round_to_float(Pair x)
{
    volatile float lane0 = static_cast<float>(x.lanes[0]);
    volatile float lane1 = static_cast<float>(x.lanes[1]);
    return {{lane0, lane1}};
}

#endif

// The value a T store would keep: nothing to round for double.
template <class T> Pair stored_as(Pair x);
template <> inline Pair stored_as<double>(Pair x) { return x; }
template <> inline Pair stored_as<float>(Pair x) { return round_to_float(x); }

}  // namespace regkern
