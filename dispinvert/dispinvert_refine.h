// Refinement of a forward field F toward the inverse of a backward field b:
// the fixed-point step F_new(q) = -b(q + F(q)), repeated, for 2-D and 3-D
// grids in double or single precision. Host-free: plain pointers, extents
// and a worker count.
//
// One pass over the grid samples b at q + F_k(q) for every point q, which
// gives at once the residual of F_k, r_k(q) = |F_k(q) + b(q + F_k(q))|
// (Euclidean, in voxels), and the next field F_{k+1}(q) = -b(q + F_k(q)).
// Pass k = 0, 1, ... reads F_k; the refinement stops after the pass whose
// largest finite residual is at most the tolerance, or after pass `steps`,
// and returns F_k and r_k: k is the number of steps done, and the residual
// returned is that of the field returned. So `steps` steps cost steps + 1
// passes, the last one only measuring; steps = 0 measures the start field.
//
// Sampling: b is interpolated (bi/tri)linearly with every coordinate first
// clamped to [0, extent - 1], so a point that q + F(q) puts outside the grid
// takes the value at the nearest point of the grid's box. With the lower
// corner i = floor(x) and t = x - i along an axis, the upper corner is i + 1,
// or i itself where i is the last index (t is 0 there). Corner c weighs
// (w_x * w_y) * w_z; the corners' products are summed in pairs, along x,
// then y, then z.
//
// Arithmetic (bit-exact contract): a pass stores three values per point and
// component, each of type T: the sampled b (the whole interpolation one
// expression in double from the T inputs), the new F (its negation) and the
// residual (its sum of squares, x first, and square root evaluated in double
// from F_k and the stored sample). The position, the clamp and the weights
// are part of the interpolation's expression.
//
// Non-finite values: where r_k(q) is not finite (F_k(q) is not finite, a
// corner of b read is not, or the residual overflows) the point keeps its
// value, F_{k+1}(q) = F_k(q), its residual stays as computed (NaN or Inf)
// and it takes no part in the stopping rule. A NaN never spreads: each point
// reads only its own F and b.
//
// Threads: each pass splits the output by slabs of the last axis; every
// point's arithmetic is the same whichever worker does it, and the largest
// residual is a maximum, so the result does not depend on the worker count.
// Volumes in double have an AVX2 path (refine_row_avx2) that does the same
// operations on four points at once.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "scratch.h"
#include "vector_path.h"
#include "worker_threads.h"

namespace regkern {

// The step a pass takes: the plain fixed-point step F_new(q) = -b(q + F(q)),
// or a Newton step on F(q) + b(q + F(q)) = 0 (a faster method; the plug-ins
// keep the fixed point, whose bits callers may rely on).
enum class RefinementMethod { fixed_point, newton };

// What a refinement reads and writes.
template <class T, int N>
struct FieldRefinement {
    std::array<int32_t, N> grid;       // sx, sy(, sz)
    std::array<const T*, N> backward;  // bx, by(, bz), grid storage order
    std::array<const T*, N> start;     // the starting forward field
    int32_t steps;                     // at most this many steps
    double tolerance;                  // stop once the largest residual is at most this
    std::array<T*, N> forward;         // the refined field (may be start itself, no other input)
    T* residual;                       // r of the refined field, or nullptr
    RefinementMethod method = RefinementMethod::fixed_point;
};

// How a refinement ended.
struct RefinementOutcome {
    int32_t steps_done = 0;
    double max_residual = 0;  // largest finite r of the field returned (0 if none)
    bool converged = false;   // max_residual <= tolerance
    // The first step after which the largest residual was larger than
    // before it (0: never): the step diverges somewhere.
    int32_t grew_at = 0;
    double before_growth = 0, after_growth = 0;
};

namespace detail {

// One worker's share of one pass: the slab [first, end) of the last axis.
template <class T, int N>
struct RefinementSlab {
    const FieldRefinement<T, N>* job;
    std::array<const T*, N> from;  // F_k
    std::array<T*, N> to;          // F_{k+1}
    bool write_next;               // false on the pass that only measures
    VectorPath path;               // the widest arithmetic this call may use
    int32_t first, end;
    double* max_residual;          // this worker's largest finite residual
};

// The sampling rule along one axis, for a point at grid index p moved by f:
// the lower corner's element offset, the step to the upper corner and t.
struct AxisSample {
    int64_t offset;
    int64_t upper;
    double t;
};

inline AxisSample sample_axis(int32_t p, double f, int32_t extent, int64_t stride)
{
    // Written so that NaN lands on 0 and an infinity on a face: a point
    // whose F is not finite still reads inside the grid (its residual is
    // not finite, so it keeps its value).
    double x = static_cast<double>(p) + f;
    x = x > 0.0 ? x : 0.0;
    const double last = static_cast<double>(extent - 1);
    x = x < last ? x : last;
    const int32_t i = static_cast<int32_t>(x);  // x >= 0: truncation is floor
    return AxisSample{i * stride, i < extent - 1 ? stride : 0, x - static_cast<double>(i)};
}

// The corners of one sample: weights and element offsets in storage order
// (x fastest), corner c weighing (w_x * w_y) * w_z.
template <int N> struct Corners {
    double w[1 << N];
    int64_t e[1 << N];
};

template <int N>
inline Corners<N> corners_of(const AxisSample* s)
{
    Corners<N> k;
    const double ax = 1.0 - s[0].t, bx = s[0].t;
    const double ay = 1.0 - s[1].t, by = s[1].t;
    const int64_t e0 = s[0].offset + s[1].offset;
    const int64_t ux = s[0].upper, uy = s[1].upper;
    const double w00 = ax * ay, w10 = bx * ay, w01 = ax * by, w11 = bx * by;
    if constexpr (N == 2) {
        k.w[0] = w00, k.w[1] = w10, k.w[2] = w01, k.w[3] = w11;
        k.e[0] = e0, k.e[1] = e0 + ux, k.e[2] = e0 + uy, k.e[3] = e0 + ux + uy;
    } else {
        const double az = 1.0 - s[2].t, bz = s[2].t;
        k.w[0] = w00 * az, k.w[1] = w10 * az, k.w[2] = w01 * az, k.w[3] = w11 * az;
        k.w[4] = w00 * bz, k.w[5] = w10 * bz, k.w[6] = w01 * bz, k.w[7] = w11 * bz;
        const int64_t e = e0 + s[2].offset, uz = s[2].upper;
        k.e[0] = e, k.e[1] = e + ux, k.e[2] = e + uy, k.e[3] = e + ux + uy;
        k.e[4] = e + uz, k.e[5] = e + ux + uz, k.e[6] = e + uy + uz, k.e[7] = e + ux + uy + uz;
    }
    return k;
}

// b at the corners, each component's products summed in pairs: along x,
// then y, then z (a short chain of additions).
template <class T, int N>
inline std::array<double, N> interpolate(const std::array<const T*, N>& b, const Corners<N>& k)
{
    std::array<double, N> sum;
REGKERN_UNROLL(3)
    for (int a = 0; a < N; ++a) {
        double c[1 << N];
REGKERN_UNROLL(8)
        for (int i = 0; i < (1 << N); ++i) c[i] = k.w[i] * static_cast<double>(b[a][k.e[i]]);
        const double y0 = (c[0] + c[1]) + (c[2] + c[3]);
        if constexpr (N == 2) {
            sum[a] = y0;
        } else {
            sum[a] = y0 + ((c[4] + c[5]) + (c[6] + c[7]));
        }
    }
    return sum;
}

// One row of a pass: the points x = first..sx-1 at (y, z) of a volume, or
// of row z of a plane (y unused). Returns the largest finite sum of squares
// of the residual's components, `largest` included.
template <class T, int N>
double refine_row(const RefinementSlab<T, N>& slab, int32_t y, int32_t z, int32_t first,
                  double largest)
{
    const FieldRefinement<T, N>& job = *slab.job;
    const int32_t sx = job.grid[0];
    const int64_t plane = static_cast<int64_t>(sx) * job.grid[1];
    const int64_t row = N == 3 ? z * plane + static_cast<int64_t>(y) * sx
                               : static_cast<int64_t>(z) * sx;
    std::array<const T*, N> from;
    std::array<T*, N> to;
    for (int a = 0; a < N; ++a) {
        from[a] = slab.from[a] + row;
        to[a] = slab.to[a] + row;
    }
    T* const residual = job.residual ? job.residual + row : nullptr;
    const bool write_next = slab.write_next;

    for (int32_t x = first; x < sx; ++x) {
        std::array<T, N> f;
REGKERN_UNROLL(3)
        for (int a = 0; a < N; ++a) f[a] = from[a][x];
        AxisSample s[N];
        s[0] = sample_axis(x, static_cast<double>(f[0]), sx, 1);
        if constexpr (N == 2) {
            s[1] = sample_axis(z, static_cast<double>(f[1]), job.grid[1], sx);
        } else {
            s[1] = sample_axis(y, static_cast<double>(f[1]), job.grid[1], sx);
            s[2] = sample_axis(z, static_cast<double>(f[2]), job.grid[2], plane);
        }
        const Corners<N> k = corners_of<N>(s);

        const std::array<double, N> sum = interpolate<T, N>(job.backward, k);
        std::array<T, N> sample;
        double squares = 0.0;
REGKERN_UNROLL(3)
        for (int a = 0; a < N; ++a) {
            sample[a] = static_cast<T>(sum[a]);
            const double d = static_cast<double>(f[a]) + static_cast<double>(sample[a]);
            squares = a == 0 ? d * d : squares + d * d;
        }
        // The largest residual is found among the sums of squares: the
        // square root and the rounding to T keep their order. In double the
        // root is taken only for the residual output.
        // A NaN residual is stored as the one quiet NaN: the sign an
        // invalid operation leaves on a NaN differs between processors
        // (x86 sets it, arm64 does not), and the bits must not.
        bool finite;
        if constexpr (sizeof(T) == sizeof(double)) {
            finite = squares <= std::numeric_limits<double>::max();
            if (residual)
                residual[x] = squares == squares ? std::sqrt(squares)
                                                 : std::numeric_limits<double>::quiet_NaN();
        } else {
            const T r = static_cast<T>(std::sqrt(squares));
            finite = std::isfinite(r);
            if (residual) residual[x] = r == r ? r : std::numeric_limits<T>::quiet_NaN();
        }
        if (finite) largest = std::max(largest, squares);
        if (write_next)
REGKERN_UNROLL(3)
            for (int a = 0; a < N; ++a) to[a][x] = finite ? static_cast<T>(-sample[a]) : f[a];
    }
    return largest;
}

#ifdef REGKERN_X86_VECTORS
// The four values of b at the given elements (scalar loads: faster than a
// gather instruction on the processors measured).
REGKERN_AVX2 inline __m256d load_at(const double* b, const int32_t* element)
{
    return _mm256_set_pd(b[element[3]], b[element[2]], b[element[1]], b[element[0]]);
}

// refine_row for a volume in double, four neighbouring points of the row
// per instruction (the last sx % 4 by refine_row). Each lane does the scalar
// code's operations in its order: the clamp is max(x, 0) then min(x, last)
// (NaN lands on 0), the truncation of x >= 0 is its floor, and the corners'
// products are summed in the same pairs, so the bits are the same.
REGKERN_AVX2 inline double refine_row_avx2(const RefinementSlab<double, 3>& slab, int32_t y,
                                           int32_t z, double largest)
{
    const FieldRefinement<double, 3>& job = *slab.job;
    const int32_t sx = job.grid[0], sy = job.grid[1], sz = job.grid[2];
    // Every element index fits in 32 bits: the grid has at most 2^31 - 1 points.
    const int32_t plane = sx * sy;
    const int64_t row = static_cast<int64_t>(z) * plane + static_cast<int64_t>(y) * sx;
    const double* from[3] = {slab.from[0] + row, slab.from[1] + row, slab.from[2] + row};
    double* to[3] = {slab.to[0] + row, slab.to[1] + row, slab.to[2] + row};
    double* const residual = job.residual ? job.residual + row : nullptr;

    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d largest_finite = _mm256_set1_pd(std::numeric_limits<double>::max());
    const __m256d last[3] = {_mm256_set1_pd(sx - 1), _mm256_set1_pd(sy - 1), _mm256_set1_pd(sz - 1)};
    const __m128i last_index[3] = {_mm_set1_epi32(sx - 1), _mm_set1_epi32(sy - 1),
                                   _mm_set1_epi32(sz - 1)};
    const __m128i stride[3] = {_mm_set1_epi32(1), _mm_set1_epi32(sx), _mm_set1_epi32(plane)};
    __m256d p[3] = {_mm256_set_pd(3, 2, 1, 0), _mm256_set1_pd(y), _mm256_set1_pd(z)};
    const __m256d four = _mm256_set1_pd(4);
    __m256d lane_largest = zero;

    int32_t x = 0;
    for (; x + 4 <= sx; x += 4, p[0] = _mm256_add_pd(p[0], four)) {
        __m256d f[3], t[3];
        __m128i offset = _mm_setzero_si128(), upper[3];
REGKERN_UNROLL(3)
        for (int a = 0; a < 3; ++a) {
            f[a] = _mm256_loadu_pd(from[a] + x);
            __m256d q = _mm256_add_pd(p[a], f[a]);
            q = _mm256_min_pd(_mm256_max_pd(q, zero), last[a]);
            const __m128i i = _mm256_cvttpd_epi32(q);
            t[a] = _mm256_sub_pd(q, _mm256_cvtepi32_pd(i));
            offset = _mm_add_epi32(offset, _mm_mullo_epi32(i, stride[a]));
            upper[a] = _mm_and_si128(_mm_cmplt_epi32(i, last_index[a]), stride[a]);
        }
        const __m256d ax = _mm256_sub_pd(one, t[0]), ay = _mm256_sub_pd(one, t[1]);
        const __m256d az = _mm256_sub_pd(one, t[2]);
        const __m256d w00 = _mm256_mul_pd(ax, ay), w10 = _mm256_mul_pd(t[0], ay);
        const __m256d w01 = _mm256_mul_pd(ax, t[1]), w11 = _mm256_mul_pd(t[0], t[1]);
        const __m256d w[8] = {_mm256_mul_pd(w00, az),   _mm256_mul_pd(w10, az),
                              _mm256_mul_pd(w01, az),   _mm256_mul_pd(w11, az),
                              _mm256_mul_pd(w00, t[2]), _mm256_mul_pd(w10, t[2]),
                              _mm256_mul_pd(w01, t[2]), _mm256_mul_pd(w11, t[2])};
        const __m128i uxy = _mm_add_epi32(upper[0], upper[1]);
        const __m128i e0 = offset, e4 = _mm_add_epi32(offset, upper[2]);
        const __m128i e[8] = {e0, _mm_add_epi32(e0, upper[0]), _mm_add_epi32(e0, upper[1]),
                              _mm_add_epi32(e0, uxy), e4, _mm_add_epi32(e4, upper[0]),
                              _mm_add_epi32(e4, upper[1]), _mm_add_epi32(e4, uxy)};
        alignas(16) int32_t index[8][4];
REGKERN_UNROLL(8)
        for (int k = 0; k < 8; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(index[k]), e[k]);

        __m256d sample[3], squares = zero;
REGKERN_UNROLL(3)
        for (int a = 0; a < 3; ++a) {
            __m256d c[8];
REGKERN_UNROLL(8)
            for (int k = 0; k < 8; ++k)
                c[k] = _mm256_mul_pd(w[k], load_at(job.backward[a], index[k]));
            const __m256d y0 = _mm256_add_pd(_mm256_add_pd(c[0], c[1]), _mm256_add_pd(c[2], c[3]));
            const __m256d y1 = _mm256_add_pd(_mm256_add_pd(c[4], c[5]), _mm256_add_pd(c[6], c[7]));
            sample[a] = _mm256_add_pd(y0, y1);
            const __m256d d = _mm256_add_pd(f[a], sample[a]);
            squares = a == 0 ? _mm256_mul_pd(d, d) : _mm256_add_pd(squares, _mm256_mul_pd(d, d));
        }
        const __m256d finite = _mm256_cmp_pd(squares, largest_finite, _CMP_LE_OQ);
        if (residual) {
            const __m256d root = _mm256_sqrt_pd(squares);
            _mm256_storeu_pd(residual + x,
                             _mm256_blendv_pd(root, _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN()),
                                              _mm256_cmp_pd(squares, squares, _CMP_UNORD_Q)));
        }
        lane_largest = _mm256_max_pd(lane_largest, _mm256_and_pd(finite, squares));
        if (slab.write_next)
REGKERN_UNROLL(3)
            for (int a = 0; a < 3; ++a)
                _mm256_storeu_pd(to[a] + x,
                                 _mm256_blendv_pd(f[a], _mm256_xor_pd(sample[a], sign), finite));
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, lane_largest);
    for (double v : lanes) largest = std::max(largest, v);
    return refine_row<double, 3>(slab, y, z, x, largest);
}
#endif

template <class T, int N>
void refine_slab(const RefinementSlab<T, N>* slab)
{
    double largest = 0.0;
    const int32_t rows = N == 3 ? slab->job->grid[1] : 1;
#ifdef REGKERN_X86_VECTORS
    if constexpr (std::is_same<T, double>::value && N == 3) {
        if (slab->path >= VectorPath::avx2) {
            for (int32_t z = slab->first; z < slab->end; ++z)
                for (int32_t y = 0; y < rows; ++y) largest = refine_row_avx2(*slab, y, z, largest);
            *slab->max_residual = std::sqrt(largest);
            return;
        }
    }
#endif
    for (int32_t z = slab->first; z < slab->end; ++z)
        for (int32_t y = 0; y < rows; ++y) largest = refine_row<T, N>(*slab, y, z, 0, largest);
    *slab->max_residual = static_cast<double>(static_cast<T>(std::sqrt(largest)));
}

}  // namespace detail

// Refines job.start into job.forward on `workers` threads (the calling
// thread one of them; at most one per slab of the last axis), with the
// arithmetic of `path`. Scratch (a second field) is taken before any thread
// starts: std::bad_alloc when it cannot be had, std::system_error when a
// thread cannot be started (after the started ones are joined).
template <class T, int N>
RefinementOutcome refine_field(const FieldRefinement<T, N>& job, int32_t workers,
                               VectorPath path)
{
    RefinementOutcome outcome;
    int64_t count = 1;
    for (int a = 0; a < N; ++a) count *= job.grid[a];
    const size_t bytes = static_cast<size_t>(count) * sizeof(T);
    if (count == 0) return outcome;
    const int32_t layers = job.grid[N - 1];
    workers = std::max(1, std::min(workers, layers));

    // The other buffer of the pair: passes alternate between writing the
    // output and writing the scratch.
    std::vector<Scratch<T>> scratch;
    std::array<T*, N> spare;
    for (int a = 0; a < N; ++a) {
        scratch.push_back(take_scratch<T>(count));
        spare[a] = scratch.back().get();
    }

    std::vector<double> largest(static_cast<size_t>(workers), 0.0);
    std::vector<detail::RefinementSlab<T, N>> slabs(static_cast<size_t>(workers));
    for (int32_t t = 0; t < workers; ++t) {
        slabs[t].job = &job;
        slabs[t].first = share_start(t, workers, layers);
        slabs[t].end = share_start(t + 1, workers, layers);
        slabs[t].max_residual = &largest[t];
        slabs[t].path = path;
    }

    // A start field that is the output itself (invert_field refines its
    // splat in place; each point reads only its own value before writing
    // it): the first pass writes the spare, so that the start is still there
    // when that pass already meets the tolerance.
    const bool in_place = job.start[0] == job.forward[0];
    std::array<const T*, N> current = job.start;
    double previous = 0.0;
    for (int32_t k = 0;; ++k) {
        const bool last_allowed = k == job.steps;
        std::array<T*, N> next = (k % 2 == 0) != in_place ? job.forward : spare;
        for (auto& slab : slabs) {
            slab.from = current;
            slab.to = next;
            slab.write_next = !last_allowed;
        }
        run_workers(slabs, detail::refine_slab<T, N>);
        const double max_r = *std::max_element(largest.begin(), largest.end());
        if (k > 0 && max_r > previous && outcome.grew_at == 0) {
            outcome.grew_at = k;
            outcome.before_growth = previous;
            outcome.after_growth = max_r;
        }
        previous = max_r;
        outcome.steps_done = k;
        outcome.max_residual = max_r;
        outcome.converged = max_r <= job.tolerance;
        if (outcome.converged || last_allowed) break;
        for (int a = 0; a < N; ++a) current[a] = next[a];
    }
    // The field returned is the one the last pass read.
    for (int a = 0; a < N; ++a)
        if (current[a] != job.forward[a]) std::memcpy(job.forward[a], current[a], bytes);
    return outcome;
}

}  // namespace regkern
