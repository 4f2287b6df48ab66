// Inversion of a backward displacement field by forward splatting, for 2-D
// and 3-D grids in double or single precision.
//
// Every grid point p carries u = -b(p) to q = p + b(p). The value is shared
// among the 2^N grid points around q by (bi/tri)linear weights, each share is
// spread again with the caller's kernel, and values and weights are summed per
// grid point. Each sum is finally divided by its summed weight plus 1e-8.
//
// Results are bit-exact contracts, so the arithmetic is written out step by
// step: every stored value has type T, every expression between two stores
// is evaluated in double and rounded to T on store (a no-op for double), and
// the order of the additions per grid point is fixed by the sample order
// (storage order of the grid) and by the kernel loop order Order.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "indexing.h"

namespace regkern {

// Which kernel axis the splatting loops run outermost. The corner loop is
// always innermost.
enum class KernelOrder {
    high_axis_outermost,  // k, then j, then i (storage order of the kernel)
    low_axis_outermost,   // i, then j, then k
};

template <class T, int N>
struct FieldInversion {
    std::array<int32_t, N> grid;          // sx, sy(, sz)
    std::array<const T*, N> backward;     // bx, by(, bz), grid storage order
    std::array<int32_t, N> kernel_extent; // Kx, Ky(, Kz)
    const T* kernel;                      // H, kernel storage order
    std::array<T*, N> forward;            // Fx, Fy(, Fz), zero-filled on entry
    T* weight_sum;                        // S, one per grid point, zero-filled on entry
};

namespace detail {

template <int N>
int32_t product(const std::array<int32_t, N>& extent)
{
    int32_t count = 1;
    for (int a = 0; a < N; ++a) count *= extent[a];
    return count;
}

// Column-major element index; the caller guarantees that v lies inside the
// extents, so no intermediate overflows.
template <int N>
int32_t linear_index(const std::array<int32_t, N>& v, const std::array<int32_t, N>& extent)
{
    if constexpr (N == 2) {
        return linear_index_2d(v[0], v[1], extent[0]);
    } else {
        return linear_index_3d(v[0], v[1], v[2], extent[0], extent[1]);
    }
}

// Offset of corner c along axis a: the bits of c, the first axis the highest.
template <int N>
constexpr int corner_offset(int c, int a)
{
    return (c >> (N - 1 - a)) & 1;
}

// One sample's splat: its carried value, the lowest grid point its kernel
// can reach along each axis (floor(q) minus the half-width, in 64 bits so
// that adding a kernel index never overflows) and its corner weights.
template <class T, int N>
struct Sample {
    std::array<T, N> carried;
    std::array<int64_t, N> reach_origin;
    std::array<T, (1 << N)> corner_weight;
};

// Forms the sample of grid point p (element n). Returns false when the splat
// point is not finite or its floor lies outside the int32 range: such a
// sample contributes nothing.
template <class T, int N>
bool form_sample(const FieldInversion<T, N>& job, const std::array<int32_t, N>& p, int32_t n,
                 const std::array<int32_t, N>& half_width, Sample<T, N>& sample)
{
    std::array<T, N> fraction;
    for (int a = 0; a < N; ++a) {
        const T u = static_cast<T>(-job.backward[a][n]);
        const T q = static_cast<T>(static_cast<double>(static_cast<T>(p[a])) -
                                   static_cast<double>(u));
        const double floor_q = std::floor(static_cast<double>(q));
        if (!(floor_q >= -2147483648.0 && floor_q <= 2147483647.0)) return false;
        sample.carried[a] = u;
        sample.reach_origin[a] = static_cast<int64_t>(to_int(floor_q)) - half_width[a];
        fraction[a] = static_cast<T>(static_cast<double>(q) -
                                     static_cast<double>(static_cast<T>(floor_q)));
    }
    for (int c = 0; c < (1 << N); ++c) {
        // (x-factor * y-factor) * z-factor, evaluated in double, stored once.
        double weight = 1.0;
        for (int a = 0; a < N; ++a) {
            const double t = static_cast<double>(fraction[a]);
            weight = weight * (corner_offset<N>(c, a) ? t : 1.0 - t);
        }
        sample.corner_weight[c] = static_cast<T>(weight);
    }
    return true;
}

// Adds one kernel element's shares of a sample, corner by corner. `reach` is
// the target of corner 0; shares outside the grid are dropped.
template <class T, int N>
void apply_shares(const FieldInversion<T, N>& job, const Sample<T, N>& sample,
                  const std::array<int64_t, N>& reach, T kernel_value)
{
    for (int c = 0; c < (1 << N); ++c) {
        std::array<int32_t, N> v;
        bool inside = true;
        for (int a = 0; a < N && inside; ++a) {
            const int64_t target = reach[a] + corner_offset<N>(c, a);
            inside = target >= 0 && target < job.grid[a];
            if (inside) v[a] = static_cast<int32_t>(target);
        }
        if (!inside) continue;
        const int32_t m = linear_index<N>(v, job.grid);
        const T w = static_cast<T>(static_cast<double>(sample.corner_weight[c]) *
                                   static_cast<double>(kernel_value));
        for (int a = 0; a < N; ++a) {
            job.forward[a][m] = static_cast<T>(static_cast<double>(job.forward[a][m]) +
                                               static_cast<double>(sample.carried[a]) *
                                                   static_cast<double>(w));
        }
        job.weight_sum[m] = static_cast<T>(static_cast<double>(job.weight_sum[m]) +
                                           static_cast<double>(w));
    }
}

// Steps a multi-index to the next position of a loop nest whose fastest
// axis is `fastest` and whose slower axes follow in direction `step`.
template <int N>
void advance(std::array<int32_t, N>& index, const std::array<int32_t, N>& extent, int fastest,
             int step)
{
    for (int a = fastest; a >= 0 && a < N; a += step) {
        if (++index[a] < extent[a]) return;
        index[a] = 0;
    }
}

}  // namespace detail

// Splats every sample of job into its forward field and weight sums, then
// normalises the forward field. The outputs and weight_sum must start at 0.
template <class T, int N, KernelOrder Order>
void invert_field(const FieldInversion<T, N>& job)
{
    // The kernel's fastest-changing loop index: i when k runs outermost.
    constexpr int kernel_fastest = Order == KernelOrder::high_axis_outermost ? 0 : N - 1;
    constexpr int kernel_step = Order == KernelOrder::high_axis_outermost ? 1 : -1;

    std::array<int32_t, N> half_width;
    for (int a = 0; a < N; ++a)
        half_width[a] = to_int(std::floor(static_cast<double>(job.kernel_extent[a]) / 2.0));

    const int32_t grid_count = detail::product<N>(job.grid);
    const int32_t kernel_count = detail::product<N>(job.kernel_extent);

    std::array<int32_t, N> p{};
    detail::Sample<T, N> sample;
    for (int32_t n = 0; n < grid_count; ++n, detail::advance<N>(p, job.grid, 0, 1)) {
        if (!detail::form_sample<T, N>(job, p, n, half_width, sample)) continue;
        std::array<int32_t, N> element{};
        for (int32_t e = 0; e < kernel_count; ++e) {
            std::array<int64_t, N> reach;
            for (int a = 0; a < N; ++a) reach[a] = sample.reach_origin[a] + element[a];
            const T h = job.kernel[detail::linear_index<N>(element, job.kernel_extent)];
            detail::apply_shares<T, N>(job, sample, reach, h);
            detail::advance<N>(element, job.kernel_extent, kernel_fastest, kernel_step);
        }
    }

    // The nearest T to 1e-8, added to the weight sum in double.
    const double epsilon = static_cast<double>(static_cast<T>(1e-8));
    for (int32_t n = 0; n < grid_count; ++n) {
        const double denominator = static_cast<double>(job.weight_sum[n]) + epsilon;
        for (int a = 0; a < N; ++a)
            job.forward[a][n] =
                static_cast<T>(static_cast<double>(job.forward[a][n]) / denominator);
    }
}

}  // namespace regkern
