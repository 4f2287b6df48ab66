// A box of the field inversion's forward field on its own, from the samples
// of the box and its halo: the same bits as the whole call on that box.
//
// The run is the whole call's (dispinvert_splat.h) with the samples placed
// at their whole-grid coordinates (origin) and the sums kept for the box
// alone: every splat point, share and weight is the whole call's, and each
// point of the box takes the shares of the samples that reach it in storage
// order, which the samples handed over keep. A sample outside them adds
// nothing to the box when the halo below holds: that is what the check
// makes sure of.
//
// The halo. Grid point p carries its value to q = T(T(p) + b(p)) and its
// kernel (extent K, half-width h = floor(K / 2)) reaches the points
// floor(q) - h to floor(q) - h + K. With |b| <= M and C = ceil(M') (M' = M
// in double, where p is exact and q the rounding of p + b; in single, M plus
// (extent + M) 2^-23 for the rounding of p and of q), floor(q) lies within
// C of p, so p reaches the points from p - C - h to p + C + K - h. The
// samples that reach a box [lo, hi) therefore lie in
// [lo - (C + K - h), hi + (C + h)): `below` = C + K - h, `above` = C + h.
// (The farthest point above, offset K, takes only the upper corner's share,
// t H, which is 0 when floor(q) = p + C; so `below` is one more than the
// shares that can change a sum need: a margin, not a requirement.) Samples
// that are not finite reach nothing, so M is the largest |b| of the finite
// samples (of the whole field, axis by axis).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dispinvert_check.h"
#include "grid_region.h"

namespace regkern {

// Grid points a sample can lie below (`below`) and above (`above`) a box it
// reaches along one axis: its kernel extent K, the largest |b| M of its axis
// (finite samples only), the whole grid's extent along it and whether the
// field is single precision. Beyond the grid's extent a halo only costs:
// both are at most extent + K.
struct SplatHalo {
    int64_t below, above;
};

inline SplatHalo splat_halo(double max_abs_b, int32_t kernel_extent, int32_t grid_extent,
                            bool single)
{
    if (kernel_extent == 0) return {0, 0};  // no share is spread
    const double limit = static_cast<double>(grid_extent) + kernel_extent;
    double reach = std::fabs(max_abs_b);
    if (single) reach += (static_cast<double>(grid_extent) + reach) * 0x1p-23;
    // Not finite or beyond the grid: the whole axis (a sample that far away
    // lands nowhere near the grid's points, so no more is needed).
    const int64_t c = reach == reach && reach < limit ? static_cast<int64_t>(std::ceil(reach))
                                                      : static_cast<int64_t>(limit);
    const int64_t h = kernel_extent / 2;
    return {c + kernel_extent - h, c + h};
}

// The halo of every axis of a call whose field's largest |b| per axis is
// max_abs_b and whose kernel has the given extents.
template <class T, int N>
std::array<SplatHalo, N> splat_halos(const std::array<double, N>& max_abs_b,
                                     const std::array<int32_t, N>& kernel_extent,
                                     const std::array<int32_t, N>& grid)
{
    std::array<SplatHalo, N> halo;
    for (int a = 0; a < N; ++a)
        halo[a] = splat_halo(max_abs_b[a], kernel_extent[a], grid[a], sizeof(T) == 4);
    return halo;
}

// Checks a region call: the whole call's checks on the inputs handed over
// (their warnings are the whole call's business and are dropped), then the
// region (check_grid_region), max_abs_b (N values, each >= 0 or NaN/Inf,
// which ask for the whole axis) and that the inputs cover the box and its
// halo. The plan's outputs have the box's extents.
template <class T, int N>
InversionPlan<T, N> check_inversion_region(const PlainArray* in, const std::vector<int64_t>& grid,
                                           const std::vector<int64_t>& origin,
                                           const std::vector<int64_t>& lo,
                                           const std::vector<int64_t>& hi,
                                           const std::vector<double>& max_abs_b)
{
    GatewayWarnings dropped;
    InversionPlan<T, N> plan = check_inversion<T, N>(in, dropped);
    const GridRegion<N> region = check_grid_region<N>(grid, origin, lo, hi);
    if (static_cast<int>(max_abs_b.size()) != N)
        fail("regionArguments", "max_abs_b has " + std::to_string(max_abs_b.size()) +
                                    " entries; pass " + std::to_string(N) +
                                    ", the largest |b| of each axis's finite samples");
    std::array<double, N> m;
    for (int a = 0; a < N; ++a) {
        if (max_abs_b[a] < 0)
            fail("regionArguments", "max_abs_b[" + std::to_string(a) + "] is " +
                                        std::to_string(max_abs_b[a]) +
                                        "; pass the largest |b| of the axis's finite samples");
        m[a] = max_abs_b[a];
    }
    FieldInversion<T, N>& job = plan.job;
    const std::array<SplatHalo, N> halo = splat_halos<T, N>(m, job.kernel_extent, region.grid);
    std::array<int64_t, N> below, above;
    for (int a = 0; a < N; ++a) {
        below[a] = halo[a].below;
        above[a] = halo[a].above;
    }
    check_region_covered<N>(region, job.grid, below, above);
    job.origin = region.origin;
    job.box_lo = region.lo;
    job.box_hi = region.hi;
    for (int a = 0; a < N; ++a) {
        plan.output[a] = {N, {0, 0, 0}};
        for (int b = 0; b < N; ++b) plan.output[a].extent[b] = region.hi[b] - region.lo[b];
    }
    return plan;
}

}  // namespace regkern
