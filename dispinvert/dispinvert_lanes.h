// Four doubles worked on lane by lane, in one form per instruction set: the
// running sums of one grid point while it takes its shares, (Fx, Fy, Fz, S)
// in a volume and (Fx, Fy, S, unused) in a plane, and four neighbouring
// share weights while they are formed.
//
// Every operation rounds each lane exactly as the scalar operation would
// (IEEE double, round to nearest; no fused multiply-add, which the build
// forbids the compiler to form and no form here asks for), so every form
// gives the same bits. Floats are widened on load (exact) and rounded to
// float on store; round_to_float keeps a lane's value as a float store would.
//
// The SSE2, AVX2 and AVX-512 forms carry their instruction set
// (vector_path.h); they may only run where vector_path() allows it, and
// their code is only inlined into functions of that instruction set.
#pragma once

#include "vector_path.h"

namespace regkern {

// A float value the compiler may not look through, so that a conversion
// to float and back is never folded away. An empty assembly statement
// that claims to change the value in its floating-point register, where
// the compiler has one (nothing is executed); elsewhere a volatile
// variable, a store and a load.
inline float kept_float(float f)
{
#if defined(__GNUC__) && defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(f));
    return f;
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("" : "+w"(f));
    return f;
#else
    volatile float kept = f;
    return kept;
#endif
}

// Plain doubles: any processor. Every lane is written out, without loops:
// GCC (at -O2) turns a four-step loop over the lanes into one copy of the
// whole array, which keeps each Quad in memory, written lane by lane and
// read back in wider pieces that cannot be forwarded from the narrow
// stores (about three times slower than scalar code).
struct PortableLanes {
    struct Quad {
        double lane[4];
    };
    static Quad broadcast(double x) { return {{x, x, x, x}}; }
    static Quad add(Quad a, Quad b)
    {
        return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1], a.lane[2] + b.lane[2],
                 a.lane[3] + b.lane[3]}};
    }
    static Quad mul(Quad a, Quad b)
    {
        return {{a.lane[0] * b.lane[0], a.lane[1] * b.lane[1], a.lane[2] * b.lane[2],
                 a.lane[3] * b.lane[3]}};
    }
    static Quad load(const double* p) { return {{p[0], p[1], p[2], p[3]}}; }
    static Quad load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
    static void store(double* p, Quad x)
    {
        p[0] = x.lane[0];
        p[1] = x.lane[1];
        p[2] = x.lane[2];
        p[3] = x.lane[3];
    }
    static void store(float* p, Quad x)
    {
        p[0] = static_cast<float>(x.lane[0]);
        p[1] = static_cast<float>(x.lane[1]);
        p[2] = static_cast<float>(x.lane[2]);
        p[3] = static_cast<float>(x.lane[3]);
    }
    // Each lane through a float the compiler must keep as it is (see
    // kept_float): GCC 12's straight-line vectorizer, were it on, would
    // treat neighbouring double-to-float-to-double round trips as no-ops.
    static Quad round_to_float(Quad x)
    {
        return {{kept_float(static_cast<float>(x.lane[0])), kept_float(static_cast<float>(x.lane[1])),
                 kept_float(static_cast<float>(x.lane[2])), kept_float(static_cast<float>(x.lane[3]))}};
    }
};

#ifdef REGKERN_X86_VECTORS

// Two SSE2 registers of two lanes.
struct Sse2Lanes {
    struct Quad {
        __m128d low, high;
    };
    REGKERN_SSE2 static Quad broadcast(double x) { return {_mm_set1_pd(x), _mm_set1_pd(x)}; }
    REGKERN_SSE2 static Quad add(Quad a, Quad b)
    {
        return {_mm_add_pd(a.low, b.low), _mm_add_pd(a.high, b.high)};
    }
    REGKERN_SSE2 static Quad mul(Quad a, Quad b)
    {
        return {_mm_mul_pd(a.low, b.low), _mm_mul_pd(a.high, b.high)};
    }
    REGKERN_SSE2 static Quad load(const double* p) { return {_mm_loadu_pd(p), _mm_loadu_pd(p + 2)}; }
    REGKERN_SSE2 static Quad load(const float* p)
    {
        const __m128 f = _mm_loadu_ps(p);
        return {_mm_cvtps_pd(f), _mm_cvtps_pd(_mm_movehl_ps(f, f))};
    }
    REGKERN_SSE2 static void store(double* p, Quad x)
    {
        _mm_storeu_pd(p, x.low);
        _mm_storeu_pd(p + 2, x.high);
    }
    REGKERN_SSE2 static void store(float* p, Quad x)
    {
        _mm_storeu_ps(p, _mm_movelh_ps(_mm_cvtpd_ps(x.low), _mm_cvtpd_ps(x.high)));
    }
    REGKERN_SSE2 static Quad round_to_float(Quad x)
    {
        return {_mm_cvtps_pd(_mm_cvtpd_ps(x.low)), _mm_cvtps_pd(_mm_cvtpd_ps(x.high))};
    }
};

// One 256-bit register.
struct Avx2Lanes {
    struct Quad {
        __m256d lanes;
    };
    REGKERN_AVX2 static Quad broadcast(double x) { return {_mm256_set1_pd(x)}; }
    REGKERN_AVX2 static Quad add(Quad a, Quad b) { return {_mm256_add_pd(a.lanes, b.lanes)}; }
    REGKERN_AVX2 static Quad mul(Quad a, Quad b) { return {_mm256_mul_pd(a.lanes, b.lanes)}; }
    REGKERN_AVX2 static Quad load(const double* p) { return {_mm256_loadu_pd(p)}; }
    REGKERN_AVX2 static Quad load(const float* p) { return {_mm256_cvtps_pd(_mm_loadu_ps(p))}; }
    REGKERN_AVX2 static void store(double* p, Quad x) { _mm256_storeu_pd(p, x.lanes); }
    REGKERN_AVX2 static void store(float* p, Quad x) { _mm_storeu_ps(p, _mm256_cvtpd_ps(x.lanes)); }
    REGKERN_AVX2 static Quad round_to_float(Quad x)
    {
        return {_mm256_cvtps_pd(_mm256_cvtpd_ps(x.lanes))};
    }
};

// The AVX2 form (inlined into the AVX-512 path, it is compiled for AVX-512
// processors), and an eight-lane form for
// two neighbouring points of a row that take their shares in the same
// pattern: the two points' sums interleaved, lanes (F_x, F_x', F_y, F_y',
// ...), so that a share weight pair (w, w') loaded from neighbouring table
// places and repeated fills them. Two points per instruction halve the
// latency chain per share, which bounds the single-precision form (its
// every sum is rounded to float in the chain).
// (The all-lanes masks keep GCC 12 from warning about the undefined
// register that the unmasked forms start from.)
struct Avx512Lanes : Avx2Lanes {
    static constexpr bool has_pairs = true;
    struct Octet {
        __m512d lanes;
    };
    REGKERN_AVX512 static Octet interleave(__m512d two_points)
    {
        return {_mm512_maskz_permutexvar_pd(0xFF, _mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7), two_points)};
    }
    REGKERN_AVX512 static __m512d separate(Octet x)
    {
        return _mm512_maskz_permutexvar_pd(0xFF, _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), x.lanes);
    }
    REGKERN_AVX512 static Octet load_pair(const double* p) { return interleave(_mm512_loadu_pd(p)); }
    REGKERN_AVX512 static Octet load_pair(const float* p)
    {
        return interleave(_mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(p)));
    }
    REGKERN_AVX512 static void store_pair(double* p, Octet x) { _mm512_storeu_pd(p, separate(x)); }
    REGKERN_AVX512 static void store_pair(float* p, Octet x)
    {
        _mm256_storeu_ps(p, _mm512_maskz_cvtpd_ps(0xFF, separate(x)));
    }
    // (w, w') from p[0], p[1], repeated over the four pairs of lanes.
    REGKERN_AVX512 static Octet weight_pair(const double* p)
    {
        return {_mm512_castps_pd(
            _mm512_maskz_broadcast_f32x4(0xFFFF, _mm_castpd_ps(_mm_loadu_pd(p))))};
    }
    REGKERN_AVX512 static Octet add(Octet a, Octet b) { return {_mm512_add_pd(a.lanes, b.lanes)}; }
    REGKERN_AVX512 static Octet mul(Octet a, Octet b) { return {_mm512_mul_pd(a.lanes, b.lanes)}; }
    REGKERN_AVX512 static Octet round_to_float(Octet x)
    {
        return {_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, x.lanes))};
    }

    // The Quad forms, which the Octet forms of the same names would hide.
    using Avx2Lanes::add;
    using Avx2Lanes::mul;
    using Avx2Lanes::round_to_float;
    // (a, b, c, d) -> (a, a, b, b, c, c, d, d)
    REGKERN_AVX512 static Octet widen_pairwise(Quad x)
    {
        return {_mm512_maskz_permutexvar_pd(0xFF, _mm512_setr_epi64(0, 0, 1, 1, 2, 2, 3, 3),
                                      _mm512_maskz_broadcast_f64x4(0xFF, x.lanes))};
    }
};

#endif  // REGKERN_X86_VECTORS

// The value a T store would keep: nothing to round for double.
template <class L, class T> struct StoredAs;
template <class L> struct StoredAs<L, double> {
    template <class V> static V of(V x) { return x; }
};
template <class L> struct StoredAs<L, float> {
    template <class V> static V of(V x) { return L::round_to_float(x); }
};

// Whether L has the eight-lane form for two points.
template <class L, class = void> struct HasPairs {
    static constexpr bool value = false;
};
template <class L> struct HasPairs<L, decltype(void(L::has_pairs))> {
    static constexpr bool value = L::has_pairs;
};

}  // namespace regkern
