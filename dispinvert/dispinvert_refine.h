// Refinement of a forward field F toward the inverse of a backward field b,
// for 2-D and 3-D grids in double or single precision: the fixed-point step
// F_new(q) = -b(q + F(q)), or a Newton step on F(q) + b(q + F(q)) = 0,
// repeated. Host-free: plain pointers, extents and a worker count.
//
// One pass over the grid samples b at q + F_k(q) for every point q, which
// gives at once the residual of F_k, r_k(q) = |F_k(q) + b(q + F_k(q))|
// (Euclidean, in voxels), and the next field F_{k+1}(q).
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
// expression in double from the T inputs), the new F and the residual (its
// sum of squares, x first, and square root evaluated in double from F_k and
// the stored sample). The position, the clamp and the weights are part of
// the interpolation's expression. The fixed-point step's new F is the
// sample's negation.
//
// The Newton step (method newton) solves g(F) = F + b(q + F) = 0 from F_k:
// F_new = F_k - J^-1 g with g = F_k + sample (the residual's d, in double)
// and J = I + G, G[a][j] the derivative of the interpolant of b_a along axis
// j at x, from the same corners v[c] (c's bit j set: upper along axis j) and
// the weights a_j = 1 - t_j, b_j = t_j of the sampling:
//   3-D  G[a][0] = ((a_y a_z)(v1 - v0) + (b_y a_z)(v3 - v2)) + ((a_y b_z)(v5 - v4) + (b_y b_z)(v7 - v6))
//        G[a][1] = ((a_x a_z)(v2 - v0) + (b_x a_z)(v3 - v1)) + ((a_x b_z)(v6 - v4) + (b_x b_z)(v7 - v5))
//        G[a][2] = ((a_x a_y)(v4 - v0) + (b_x a_y)(v5 - v1)) + ((a_x b_y)(v6 - v2) + (b_x b_y)(v7 - v3))
//   2-D  G[a][0] = a_y (v1 - v0) + b_y (v3 - v2),  G[a][1] = a_x (v2 - v0) + b_x (v3 - v1)
// (each product's weights multiplied first). At the faces: where the
// unclamped coordinate q_j + F_j lies outside [0, extent_j - 1] (or is NaN)
// the interpolant does not change along j, so G[a][j] = 0 for every a; at
// exactly the last index the cell has no upper corner and the differences
// are 0. J[a][j] = G[a][j], plus 1 on the diagonal. In double, with
// j_ab = J[a][b] and the cofactors
//   c00 = j11 j22 - j12 j21   c01 = j12 j20 - j10 j22   c02 = j10 j21 - j11 j20
//   c10 = j02 j21 - j01 j22   c11 = j00 j22 - j02 j20   c12 = j01 j20 - j00 j21
//   c20 = j01 j12 - j02 j11   c21 = j02 j10 - j00 j12   c22 = j00 j11 - j01 j10
//   det = (j00 c00 + j01 c01) + j02 c02
//   F_new[a] = T(F_k[a] - ((c0a g0 + c1a g1) + c2a g2) / det)
// and in 2-D det = j00 j11 - j01 j10, F_new[0] = T(F_k[0] - (j11 g0 - j01 g1) / det),
// F_new[1] = T(F_k[1] - (j00 g1 - j10 g0) / det). Where det is below
// newton_fold_det (1/16), or not finite, the map p + b(p) folds or nearly
// folds at x (a negative det is a fold: the map reverses orientation, and a
// Newton step would head for the folded sheet's root): the point takes the
// plain fixed-point step, F_new = -sample. No fused multiply-add anywhere
// (every build has -ffp-contract=off).
//
// Non-finite values: where r_k(q) is not finite in T (F_k(q) is not finite,
// a corner of b read is not, or the residual overflows T's range, in single
// precision also when it is finite in double) the point keeps its value,
// F_{k+1}(q) = F_k(q), its residual stays as computed (NaN or Inf) and it
// takes no part in the stopping rule; a Newton step whose new value is not
// finite in T keeps the point's value too. A NaN never spreads: each point
// reads only its own F and b.
//
// Regions (a chunked front end, one pass at a time): refine_region_pass
// runs pass k over a box of a larger grid and gives the whole pass's bits on
// the box. F_k, F_{k+1} and r_k cover the box; b is a sub-array of the whole
// grid's b. Positions are whole-grid coordinates, the box point's whole index
// (an integer) first converted and F then added, clamped to the WHOLE grid's
// faces, and b is read relative to the sub-array's first point. A point reads
// b within ceil(max |F_k|) + 1 of itself along every axis (the lower corner
// within ceil |F|, the upper one past it), so a sub-array of the box plus a
// halo of ceil(max |F_k|) + 1 voxels, clipped at the whole grid's faces,
// always suffices; a read outside the sub-array is refused (haloTooThin)
// before any value is trusted, never made. A point with a NaN component does
// not need b (its residual is NaN whatever b is); one with an infinite
// component reads b at a whole-grid face (that face must be in the
// sub-array).
//
// Threads: each pass splits the output by slabs of the last axis; every
// point's arithmetic is the same whichever worker does it, and the largest
// residual is a maximum, so the result does not depend on the worker count.
// Volumes in double have AVX2 paths (refine_row_avx2) that do the same
// operations on four points at once.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "failure.h"
#include "scratch.h"
#include "vector_path.h"
#include "worker_threads.h"

namespace regkern {

// The step a pass takes: the plain fixed-point step F_new(q) = -b(q + F(q)),
// or a Newton step on F(q) + b(q + F(q)) = 0 (fewer passes; the plug-ins
// keep the fixed point, whose bits callers may rely on).
enum class RefinementMethod { fixed_point, newton };

// Below this det J = det(I + grad b) a Newton step falls back to the plain
// step (see the header comment). A power of two, exact in every type.
constexpr double newton_fold_det = 0.0625;

// What a refinement reads and writes.
template <class T, int N>
struct FieldRefinement {
    std::array<int32_t, N> grid;       // sx, sy(, sz): the box's extents (the whole grid's by default)
    std::array<const T*, N> backward;  // bx, by(, bz), grid storage order
    std::array<const T*, N> start;     // the starting forward field
    int32_t steps;                     // at most this many steps
    double tolerance;                  // stop once the largest residual is at most this
    std::array<T*, N> forward;         // the refined field (may not alias the inputs)
    T* residual;                       // r of the refined field, or nullptr
    RefinementMethod method = RefinementMethod::fixed_point;
    // A box of a larger grid (refine_region_pass): its first point in the
    // whole grid, the whole grid's extents, and the sub-array of b given:
    // its first point and extents. Zero extents mean the grid itself (the
    // whole grid, b covering it).
    std::array<int32_t, N> origin = {};
    std::array<int32_t, N> whole = {};
    std::array<int32_t, N> backward_origin = {};
    std::array<int32_t, N> backward_grid = {};
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

// The outcome's bookkeeping after pass k measured the largest residual
// max_r (a chunked front end that runs the passes box by box keeps it too):
// returns true when the refinement stops there.
inline bool record_pass(RefinementOutcome& outcome, int32_t k, double max_r, int32_t steps,
                        double tolerance)
{
    if (k > 0 && max_r > outcome.max_residual && outcome.grew_at == 0) {
        outcome.grew_at = k;
        outcome.before_growth = outcome.max_residual;
        outcome.after_growth = max_r;
    }
    outcome.steps_done = k;
    outcome.max_residual = max_r;
    outcome.converged = max_r <= tolerance;
    return outcome.converged || k == steps;
}

namespace detail {

// Where an axis of the box lies: the box's first index and the last index
// of the whole grid, and the sub-array of b: its first index, last index
// (relative) and element stride.
struct AxisGeometry {
    int32_t origin;
    int32_t last;
    int32_t backward_origin;
    int32_t backward_last;
    int64_t stride;
};

// One worker's share of one pass: the slab [first, end) of the last axis.
template <class T, int N>
struct RefinementSlab {
    const FieldRefinement<T, N>* job;
    std::array<const T*, N> from;  // F_k
    std::array<T*, N> to;          // F_{k+1}
    bool write_next;               // false on the pass that only measures
    VectorPath path;               // the widest arithmetic this call may use
    int32_t first, end;
    AxisGeometry axis[N];
    bool whole_grid;               // the box is the whole grid and b covers it
    double* max_residual;          // this worker's largest finite residual
    int64_t* outside;              // the box's first point (element) that read outside b, or -1
};

// The sampling rule along one axis, for a point at box index p moved by f:
// the lower corner's element offset in b's sub-array, the step to the upper
// corner and t; `moves` is false where the interpolant is constant along
// the axis (the coordinate was clamped), `inside` false where a corner lies
// outside b's sub-array.
struct AxisSample {
    int64_t offset;
    int64_t upper;
    double t;
    bool moves;
};

inline AxisSample sample_axis(int32_t p, double f, const AxisGeometry& g, bool& inside)
{
    // Written so that NaN lands on 0 and an infinity on a face: a point
    // whose F is not finite still reads inside the grid (its residual is
    // not finite, so it keeps its value).
    const double raw = static_cast<double>(p + g.origin) + f;
    double x = raw > 0.0 ? raw : 0.0;
    const double last = static_cast<double>(g.last);
    x = x < last ? x : last;
    const int32_t i = static_cast<int32_t>(x);  // x >= 0: truncation is floor
    const bool has_upper = i < g.last;
    const int32_t j = i - g.backward_origin;
    inside = inside && j >= 0 && j + (has_upper ? 1 : 0) <= g.backward_last;
    return AxisSample{j * g.stride, has_upper ? g.stride : 0, x - static_cast<double>(i),
                      raw >= 0.0 && raw <= last};
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

// b and its gradient at the corners (the Newton step): sum[a] as
// interpolate's, grad[a][j] = G[a][j] of the header comment, before the
// faces' zeros.
template <class T, int N>
inline void interpolate_with_gradient(const std::array<const T*, N>& b, const Corners<N>& k,
                                      const AxisSample* s, std::array<double, N>& sum,
                                      double (&grad)[N][N])
{
    const double ax = 1.0 - s[0].t, bx = s[0].t;
    const double ay = 1.0 - s[1].t, by = s[1].t;
REGKERN_UNROLL(3)
    for (int a = 0; a < N; ++a) {
        double v[1 << N], c[1 << N];
REGKERN_UNROLL(8)
        for (int i = 0; i < (1 << N); ++i) {
            v[i] = static_cast<double>(b[a][k.e[i]]);
            c[i] = k.w[i] * v[i];
        }
        const double y0 = (c[0] + c[1]) + (c[2] + c[3]);
        if constexpr (N == 2) {
            sum[a] = y0;
            grad[a][0] = ay * (v[1] - v[0]) + by * (v[3] - v[2]);
            grad[a][1] = ax * (v[2] - v[0]) + bx * (v[3] - v[1]);
        } else {
            sum[a] = y0 + ((c[4] + c[5]) + (c[6] + c[7]));
            const double az = 1.0 - s[2].t, bz = s[2].t;
            grad[a][0] = ((ay * az) * (v[1] - v[0]) + (by * az) * (v[3] - v[2])) +
                         ((ay * bz) * (v[5] - v[4]) + (by * bz) * (v[7] - v[6]));
            grad[a][1] = ((ax * az) * (v[2] - v[0]) + (bx * az) * (v[3] - v[1])) +
                         ((ax * bz) * (v[6] - v[4]) + (bx * bz) * (v[7] - v[5]));
            grad[a][2] = ((ax * ay) * (v[4] - v[0]) + (bx * ay) * (v[5] - v[1])) +
                         ((ax * by) * (v[6] - v[2]) + (bx * by) * (v[7] - v[3]));
        }
    }
}

// The Newton step's new F from F_k (f), g and the gradient G (zeros at the
// faces already in), in the header comment's order; false where det J is
// below newton_fold_det or not finite (the caller takes the plain step).
template <int N>
inline bool newton_update(const double* f, const double* g, const double (&G)[N][N],
                          double* out)
{
    if constexpr (N == 2) {
        const double j00 = 1.0 + G[0][0], j01 = G[0][1];
        const double j10 = G[1][0], j11 = 1.0 + G[1][1];
        const double det = j00 * j11 - j01 * j10;
        if (!(det >= newton_fold_det && det <= std::numeric_limits<double>::max())) return false;
        out[0] = f[0] - (j11 * g[0] - j01 * g[1]) / det;
        out[1] = f[1] - (j00 * g[1] - j10 * g[0]) / det;
    } else {
        const double j00 = 1.0 + G[0][0], j01 = G[0][1], j02 = G[0][2];
        const double j10 = G[1][0], j11 = 1.0 + G[1][1], j12 = G[1][2];
        const double j20 = G[2][0], j21 = G[2][1], j22 = 1.0 + G[2][2];
        const double c00 = j11 * j22 - j12 * j21, c01 = j12 * j20 - j10 * j22;
        const double c02 = j10 * j21 - j11 * j20;
        const double det = (j00 * c00 + j01 * c01) + j02 * c02;
        if (!(det >= newton_fold_det && det <= std::numeric_limits<double>::max())) return false;
        const double c10 = j02 * j21 - j01 * j22, c11 = j00 * j22 - j02 * j20;
        const double c12 = j01 * j20 - j00 * j21;
        const double c20 = j01 * j12 - j02 * j11, c21 = j02 * j10 - j00 * j12;
        const double c22 = j00 * j11 - j01 * j10;
        out[0] = f[0] - ((c00 * g[0] + c10 * g[1]) + c20 * g[2]) / det;
        out[1] = f[1] - ((c01 * g[0] + c11 * g[1]) + c21 * g[2]) / det;
        out[2] = f[2] - ((c02 * g[0] + c12 * g[1]) + c22 * g[2]) / det;
    }
    return true;
}

// One row of a pass: the points x = first..sx-1 at (y, z) of a volume, or
// of row z of a plane (y unused), with the fixed-point or the Newton step.
// Returns the largest finite sum of squares of the residual's components,
// `largest` included.
template <class T, int N, bool Newton>
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
        bool inside = true;
        s[0] = sample_axis(x, static_cast<double>(f[0]), slab.axis[0], inside);
        if constexpr (N == 2) {
            s[1] = sample_axis(z, static_cast<double>(f[1]), slab.axis[1], inside);
        } else {
            s[1] = sample_axis(y, static_cast<double>(f[1]), slab.axis[1], inside);
            s[2] = sample_axis(z, static_cast<double>(f[2]), slab.axis[2], inside);
        }
        if (!inside) {
            // Only a box's pass with too thin a halo gets here. A point with
            // a NaN component needs no b (its residual is NaN whatever b
            // is): it reads the sub-array's first point instead.
            bool has_nan = false;
            for (int a = 0; a < N; ++a) has_nan = has_nan || f[a] != f[a];
            if (!has_nan && *slab.outside < 0) *slab.outside = row + x;
            for (int a = 0; a < N; ++a) s[a].offset = 0, s[a].upper = 0;
        }
        const Corners<N> k = corners_of<N>(s);

        std::array<double, N> sum;
        double grad[N][N];
        if constexpr (Newton) {
            interpolate_with_gradient<T, N>(job.backward, k, s, sum, grad);
        } else {
            sum = interpolate<T, N>(job.backward, k);
        }
        std::array<T, N> sample;
        double g[N];
        double squares = 0.0;
REGKERN_UNROLL(3)
        for (int a = 0; a < N; ++a) {
            sample[a] = static_cast<T>(sum[a]);
            const double d = static_cast<double>(f[a]) + static_cast<double>(sample[a]);
            g[a] = d;
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
        if (!write_next) continue;
        std::array<T, N> next;
REGKERN_UNROLL(3)
        for (int a = 0; a < N; ++a) next[a] = finite ? static_cast<T>(-sample[a]) : f[a];
        if constexpr (Newton) {
            if (finite) {
REGKERN_UNROLL(3)
                for (int j = 0; j < N; ++j)
                    if (!s[j].moves)
                        for (int a = 0; a < N; ++a) grad[a][j] = 0.0;
                double fd[N], step[N];
                for (int a = 0; a < N; ++a) fd[a] = static_cast<double>(f[a]);
                if (newton_update<N>(fd, g, grad, step)) {
                    bool step_finite = true;
                    std::array<T, N> stepped;
                    for (int a = 0; a < N; ++a) {
                        stepped[a] = static_cast<T>(step[a]);
                        step_finite = step_finite && std::isfinite(stepped[a]);
                    }
                    next = step_finite ? stepped : f;
                }
            }
        }
REGKERN_UNROLL(3)
        for (int a = 0; a < N; ++a) to[a][x] = next[a];
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

// p0 p1 - q0 q1, a cofactor of the Newton step's solve.
REGKERN_AVX2 inline __m256d cross(__m256d p0, __m256d p1, __m256d q0, __m256d q1)
{
    return _mm256_sub_pd(_mm256_mul_pd(p0, p1), _mm256_mul_pd(q0, q1));
}

// refine_row for a volume in double, four neighbouring points of the row
// per instruction (the last sx % 4 by refine_row), with the fixed-point or
// the Newton step. Each lane does the scalar code's operations in its
// order: the clamp is max(x, 0) then min(x, last) (NaN lands on 0), the
// truncation of x >= 0 is its floor, the corners' products are summed in
// the same pairs, and the gradient, the faces' zeros, the cofactors and the
// division are the scalar expressions', so the bits are the same. Only a
// whole-grid pass takes it (a box's pass is scalar).
template <bool Newton>
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
    const __m256d fold = _mm256_set1_pd(newton_fold_det);
    const __m256d last[3] = {_mm256_set1_pd(sx - 1), _mm256_set1_pd(sy - 1), _mm256_set1_pd(sz - 1)};
    const __m128i last_index[3] = {_mm_set1_epi32(sx - 1), _mm_set1_epi32(sy - 1),
                                   _mm_set1_epi32(sz - 1)};
    const __m128i stride[3] = {_mm_set1_epi32(1), _mm_set1_epi32(sx), _mm_set1_epi32(plane)};
    __m256d p[3] = {_mm256_set_pd(3, 2, 1, 0), _mm256_set1_pd(y), _mm256_set1_pd(z)};
    const __m256d four = _mm256_set1_pd(4);
    __m256d lane_largest = zero;

    int32_t x = 0;
    for (; x + 4 <= sx; x += 4, p[0] = _mm256_add_pd(p[0], four)) {
        __m256d f[3], t[3], moves[3];
        __m128i offset = _mm_setzero_si128(), upper[3];
REGKERN_UNROLL(3)
        for (int a = 0; a < 3; ++a) {
            f[a] = _mm256_loadu_pd(from[a] + x);
            const __m256d raw = _mm256_add_pd(p[a], f[a]);
            if constexpr (Newton)
                moves[a] = _mm256_and_pd(_mm256_cmp_pd(raw, zero, _CMP_GE_OQ),
                                         _mm256_cmp_pd(raw, last[a], _CMP_LE_OQ));
            const __m256d q = _mm256_min_pd(_mm256_max_pd(raw, zero), last[a]);
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

        // The gradient's weights: the other two axes' factors of each pair.
        __m256d pair[3][4];
        if constexpr (Newton) {
            pair[0][0] = _mm256_mul_pd(ay, az), pair[0][1] = _mm256_mul_pd(t[1], az);
            pair[0][2] = _mm256_mul_pd(ay, t[2]), pair[0][3] = _mm256_mul_pd(t[1], t[2]);
            pair[1][0] = _mm256_mul_pd(ax, az), pair[1][1] = _mm256_mul_pd(t[0], az);
            pair[1][2] = _mm256_mul_pd(ax, t[2]), pair[1][3] = _mm256_mul_pd(t[0], t[2]);
            pair[2][0] = w00, pair[2][1] = w10, pair[2][2] = w01, pair[2][3] = w11;
        }
        __m256d sample[3], g[3], G[3][3], squares = zero;
REGKERN_UNROLL(3)
        for (int a = 0; a < 3; ++a) {
            __m256d v[8], c[8];
REGKERN_UNROLL(8)
            for (int k = 0; k < 8; ++k) {
                v[k] = load_at(job.backward[a], index[k]);
                c[k] = _mm256_mul_pd(w[k], v[k]);
            }
            const __m256d y0 = _mm256_add_pd(_mm256_add_pd(c[0], c[1]), _mm256_add_pd(c[2], c[3]));
            const __m256d y1 = _mm256_add_pd(_mm256_add_pd(c[4], c[5]), _mm256_add_pd(c[6], c[7]));
            sample[a] = _mm256_add_pd(y0, y1);
            const __m256d d = _mm256_add_pd(f[a], sample[a]);
            g[a] = d;
            squares = a == 0 ? _mm256_mul_pd(d, d) : _mm256_add_pd(squares, _mm256_mul_pd(d, d));
            if constexpr (Newton) {
                // Axis j's pairs: (corner without bit j, corner with it) in
                // order of the corner, as in interpolate_with_gradient.
                const int low[3][4] = {{0, 2, 4, 6}, {0, 1, 4, 5}, {0, 1, 2, 3}};
                const int bit[3] = {1, 2, 4};
REGKERN_UNROLL(3)
                for (int j = 0; j < 3; ++j) {
                    __m256d term[4];
REGKERN_UNROLL(4)
                    for (int m = 0; m < 4; ++m)
                        term[m] = _mm256_mul_pd(pair[j][m], _mm256_sub_pd(v[low[j][m] + bit[j]],
                                                                          v[low[j][m]]));
                    G[a][j] = _mm256_add_pd(_mm256_add_pd(term[0], term[1]),
                                            _mm256_add_pd(term[2], term[3]));
                }
            }
        }
        const __m256d finite = _mm256_cmp_pd(squares, largest_finite, _CMP_LE_OQ);
        if (residual) {
            const __m256d root = _mm256_sqrt_pd(squares);
            _mm256_storeu_pd(residual + x,
                             _mm256_blendv_pd(root, _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN()),
                                              _mm256_cmp_pd(squares, squares, _CMP_UNORD_Q)));
        }
        lane_largest = _mm256_max_pd(lane_largest, _mm256_and_pd(finite, squares));
        if (!slab.write_next) continue;
        __m256d next[3];
REGKERN_UNROLL(3)
        for (int a = 0; a < 3; ++a) next[a] = _mm256_blendv_pd(f[a], _mm256_xor_pd(sample[a], sign), finite);
        if constexpr (Newton) {
REGKERN_UNROLL(3)
            for (int a = 0; a < 3; ++a)
REGKERN_UNROLL(3)
                for (int j = 0; j < 3; ++j) G[a][j] = _mm256_and_pd(G[a][j], moves[j]);
            const __m256d j00 = _mm256_add_pd(one, G[0][0]), j01 = G[0][1], j02 = G[0][2];
            const __m256d j10 = G[1][0], j11 = _mm256_add_pd(one, G[1][1]), j12 = G[1][2];
            const __m256d j20 = G[2][0], j21 = G[2][1], j22 = _mm256_add_pd(one, G[2][2]);
            const __m256d c00 = cross(j11, j22, j12, j21), c01 = cross(j12, j20, j10, j22);
            const __m256d c02 = cross(j10, j21, j11, j20);
            const __m256d c10 = cross(j02, j21, j01, j22), c11 = cross(j00, j22, j02, j20);
            const __m256d c12 = cross(j01, j20, j00, j21);
            const __m256d c20 = cross(j01, j12, j02, j11), c21 = cross(j02, j10, j00, j12);
            const __m256d c22 = cross(j00, j11, j01, j10);
            const __m256d det = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(j00, c00), _mm256_mul_pd(j01, c01)),
                                              _mm256_mul_pd(j02, c02));
            const __m256d ok = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(det, fold, _CMP_GE_OQ),
                                                           _mm256_cmp_pd(det, largest_finite, _CMP_LE_OQ)),
                                             finite);
            const __m256d C[3][3] = {{c00, c01, c02}, {c10, c11, c12}, {c20, c21, c22}};
            __m256d step[3];
            __m256d step_finite = ok;
REGKERN_UNROLL(3)
            for (int a = 0; a < 3; ++a) {
                const __m256d num = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(C[0][a], g[0]),
                                                                _mm256_mul_pd(C[1][a], g[1])),
                                                  _mm256_mul_pd(C[2][a], g[2]));
                step[a] = _mm256_sub_pd(f[a], _mm256_div_pd(num, det));
                step_finite = _mm256_and_pd(step_finite,
                                            _mm256_cmp_pd(_mm256_andnot_pd(sign, step[a]),
                                                          largest_finite, _CMP_LE_OQ));
            }
REGKERN_UNROLL(3)
            for (int a = 0; a < 3; ++a)
                next[a] = _mm256_blendv_pd(next[a], _mm256_blendv_pd(f[a], step[a], step_finite), ok);
        }
REGKERN_UNROLL(3)
        for (int a = 0; a < 3; ++a) _mm256_storeu_pd(to[a] + x, next[a]);
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, lane_largest);
    for (double v : lanes) largest = std::max(largest, v);
    return refine_row<double, 3, Newton>(slab, y, z, x, largest);
}
#endif

template <class T, int N>
void refine_slab(const RefinementSlab<T, N>* slab)
{
    double largest = 0.0;
    const int32_t rows = N == 3 ? slab->job->grid[1] : 1;
    // A pass that only measures is the same for both steps (the residual
    // does not depend on the step): it takes the cheaper one.
    const bool newton = slab->job->method == RefinementMethod::newton && slab->write_next;
#ifdef REGKERN_X86_VECTORS
    if constexpr (std::is_same<T, double>::value && N == 3) {
        if (slab->path >= VectorPath::avx2 && slab->whole_grid) {
            for (int32_t z = slab->first; z < slab->end; ++z)
                for (int32_t y = 0; y < rows; ++y)
                    largest = newton ? refine_row_avx2<true>(*slab, y, z, largest)
                                     : refine_row_avx2<false>(*slab, y, z, largest);
            *slab->max_residual = std::sqrt(largest);
            return;
        }
    }
#endif
    for (int32_t z = slab->first; z < slab->end; ++z)
        for (int32_t y = 0; y < rows; ++y)
            largest = newton ? refine_row<T, N, true>(*slab, y, z, 0, largest)
                             : refine_row<T, N, false>(*slab, y, z, 0, largest);
    *slab->max_residual = static_cast<double>(static_cast<T>(std::sqrt(largest)));
}

// The workers' shares of a pass over job's box, with its geometry (the
// defaults filled in: the whole grid, b covering it).
template <class T, int N>
std::vector<RefinementSlab<T, N>> refinement_slabs(const FieldRefinement<T, N>& job,
                                                   int32_t workers, VectorPath path,
                                                   std::vector<double>& largest,
                                                   std::vector<int64_t>& outside)
{
    const int32_t layers = job.grid[N - 1];
    workers = std::max(1, std::min(workers, layers));
    largest.assign(static_cast<size_t>(workers), 0.0);
    outside.assign(static_cast<size_t>(workers), -1);
    AxisGeometry axis[N];
    bool whole_grid = true;
    int64_t stride = 1;
    for (int a = 0; a < N; ++a) {
        const int32_t whole = job.whole[a] > 0 ? job.whole[a] : job.grid[a];
        const int32_t extent = job.backward_grid[a] > 0 ? job.backward_grid[a] : job.grid[a];
        axis[a] = AxisGeometry{job.origin[a], whole - 1, job.backward_origin[a], extent - 1, stride};
        stride *= extent;
        whole_grid = whole_grid && job.origin[a] == 0 && job.backward_origin[a] == 0 &&
                     whole == job.grid[a] && extent == job.grid[a];
    }
    std::vector<RefinementSlab<T, N>> slabs(static_cast<size_t>(workers));
    for (int32_t t = 0; t < workers; ++t) {
        slabs[t].job = &job;
        slabs[t].first = share_start(t, workers, layers);
        slabs[t].end = share_start(t + 1, workers, layers);
        slabs[t].max_residual = &largest[t];
        slabs[t].outside = &outside[t];
        slabs[t].path = path;
        slabs[t].whole_grid = whole_grid;
        for (int a = 0; a < N; ++a) slabs[t].axis[a] = axis[a];
    }
    return slabs;
}

// Refuses a box's pass whose point `element` (of the box) read b outside
// the sub-array given, naming the point, its F and the sub-array.
template <class T, int N>
[[noreturn]] void fail_outside_halo(const FieldRefinement<T, N>& job, int64_t element,
                                    const std::array<const T*, N>& from)
{
    const char* axis_name[3] = {"x", "y", "z"};
    std::string point, moved, given;
    int64_t rest = element;
    for (int a = 0; a < N; ++a) {
        const int64_t p = rest % job.grid[a] + job.origin[a];
        rest /= job.grid[a];
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", static_cast<double>(from[a][element]));
        const std::string sep = a > 0 ? ", " : "";
        point += sep + std::to_string(p);
        moved += sep + text;
        given += (a > 0 ? " x " : "") + std::string(axis_name[a]) + " " +
                 std::to_string(job.backward_origin[a]) + ".." +
                 std::to_string(static_cast<int64_t>(job.backward_origin[a]) + job.backward_grid[a] - 1);
    }
    fail("haloTooThin", "the point (" + point + ") of the whole grid, moved by F = (" + moved +
                            "), reads b outside the sub-array given (" + given +
                            ", 0-based); pass b on the box with a halo of ceil(max |F|) + 1 "
                            "points on every side, clipped at the whole grid's faces (and up "
                            "to the face where a component of F is infinite)");
}

// One pass from `from` to `to` (write_next false: measure only); returns
// the largest finite residual. A read outside b's sub-array (a box's halo
// too thin) is refused once the workers are done.
template <class T, int N>
double refinement_pass(std::vector<RefinementSlab<T, N>>& slabs, const std::vector<double>& largest,
                       const std::vector<int64_t>& outside, std::array<const T*, N> from,
                       std::array<T*, N> to, bool write_next)
{
    for (auto& slab : slabs) {
        slab.from = from;
        slab.to = to;
        slab.write_next = write_next;
    }
    run_workers(slabs, refine_slab<T, N>);
    for (size_t t = 0; t < outside.size(); ++t)
        if (outside[t] >= 0) fail_outside_halo<T, N>(*slabs[t].job, outside[t], from);
    return *std::max_element(largest.begin(), largest.end());
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

    // The other buffer of the pair: passes alternate between writing the
    // output and writing the scratch.
    std::vector<Scratch<T>> scratch;
    std::array<T*, N> spare;
    for (int a = 0; a < N; ++a) {
        scratch.push_back(take_scratch<T>(count));
        spare[a] = scratch.back().get();
    }

    std::vector<double> largest;
    std::vector<int64_t> outside;
    auto slabs = detail::refinement_slabs<T, N>(job, workers, path, largest, outside);
    std::array<const T*, N> current = job.start;
    for (int32_t k = 0;; ++k) {
        const bool last_allowed = k == job.steps;
        std::array<T*, N> next = k % 2 == 0 ? job.forward : spare;
        const double max_r = detail::refinement_pass<T, N>(slabs, largest, outside, current, next,
                                                           !last_allowed);
        if (record_pass(outcome, k, max_r, job.steps, job.tolerance)) break;
        for (int a = 0; a < N; ++a) current[a] = next[a];
    }
    // The field returned is the one the last pass read.
    for (int a = 0; a < N; ++a)
        if (current[a] != job.forward[a]) std::memcpy(job.forward[a], current[a], bytes);
    return outcome;
}

// One pass of job.method over a box of a larger grid (job.origin, whole,
// backward_origin, backward_grid; see the header comment): F_k is
// job.start, F_{k+1} goes to job.forward and r_k to job.residual (or
// nullptr). Returns the box's largest
// finite residual, which the whole pass's stopping rule takes the maximum
// of (so the maximum over the boxes gives the whole call's decision).
// check_refinement_region (dispinvert_refine_check.h) checks the geometry
// first; a read outside b's sub-array throws the Failure haloTooThin.
template <class T, int N>
double refine_region_pass(const FieldRefinement<T, N>& job, int32_t workers, VectorPath path)
{
    for (int a = 0; a < N; ++a)
        if (job.grid[a] == 0) return 0.0;
    std::vector<double> largest;
    std::vector<int64_t> outside;
    auto slabs = detail::refinement_slabs<T, N>(job, workers, path, largest, outside);
    return detail::refinement_pass<T, N>(slabs, largest, outside, job.start, job.forward, true);
}

}  // namespace regkern
