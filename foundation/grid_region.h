// A box of a call's outputs computed on its own (a chunk of the chunked
// front end): where the inputs handed over lie in the whole grid, which box
// of the outputs is asked for, and the checks every region entry makes
// before it reads anything. The whole grid may hold more than 2^31 - 1
// points (each extent fits in an int32); the inputs handed over and the
// box each stay within the 32-bit contract.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "failure.h"

namespace regkern {

// Whole-grid coordinates, the first axis first; axes beyond N unused.
template <int N>
struct GridRegion {
    std::array<int32_t, N> grid;    // the whole grid's extents
    std::array<int32_t, N> origin;  // where the inputs' first point lies in it
    std::array<int32_t, N> lo, hi;  // the box of the outputs: [lo, hi)
};

namespace detail {

inline std::string axes_text(const std::vector<int64_t>& values)
{
    std::string text = "(";
    for (size_t a = 0; a < values.size(); ++a)
        text += (a ? ", " : "") + std::to_string(values[a]);
    return text + ")";
}

}  // namespace detail

// The region arguments as a front end receives them (any integers), checked
// against the N-D grid: `grid` N extents in [0, 2^31 - 1], `lo` and `hi`
// with 0 <= lo <= hi <= grid and at most 2^31 - 1 points in the box, and
// `origin` within the grid. Throws a Failure regionArguments.
template <int N>
GridRegion<N> check_grid_region(const std::vector<int64_t>& grid, const std::vector<int64_t>& origin,
                                const std::vector<int64_t>& lo, const std::vector<int64_t>& hi)
{
    const std::string n = std::to_string(N);
    auto count = [&](const std::vector<int64_t>& v, const char* name) {
        if (static_cast<int>(v.size()) != N)
            fail("regionArguments", std::string(name) + " has " + std::to_string(v.size()) +
                                        " entries; pass " + n + ", one per axis of the grid");
    };
    count(grid, "grid");
    count(origin, "origin");
    count(lo, "lo");
    count(hi, "hi");
    GridRegion<N> region;
    int64_t box_points = 1;
    for (int a = 0; a < N; ++a) {
        if (grid[a] < 0 || grid[a] > INT32_MAX)
            fail("regionArguments", "grid is " + detail::axes_text(grid) +
                                        "; pass the whole grid's extents, each in [0, 2^31 - 1]");
        if (!(0 <= lo[a] && lo[a] <= hi[a] && hi[a] <= grid[a]))
            fail("regionArguments", "the box [lo, hi) is [" + detail::axes_text(lo) + ", " +
                                        detail::axes_text(hi) + ") in a grid of " +
                                        detail::axes_text(grid) +
                                        "; pass 0 <= lo <= hi <= grid on every axis");
        if (origin[a] < 0 || origin[a] > grid[a])
            fail("regionArguments", "origin is " + detail::axes_text(origin) + " in a grid of " +
                                        detail::axes_text(grid) +
                                        "; pass where the inputs' first point lies in the grid");
        box_points *= hi[a] - lo[a];
        region.grid[a] = static_cast<int32_t>(grid[a]);
        region.origin[a] = static_cast<int32_t>(origin[a]);
        region.lo[a] = static_cast<int32_t>(lo[a]);
        region.hi[a] = static_cast<int32_t>(hi[a]);
    }
    if (box_points > INT32_MAX)
        fail("regionArguments", "the box [" + detail::axes_text(lo) + ", " + detail::axes_text(hi) +
                                    ") holds " + std::to_string(box_points) +
                                    " points; pass boxes of at most 2^31 - 1 points");
    return region;
}

// Refuses inputs of extents `held` (placed at region.origin) that do not lie
// inside the grid or do not cover [lo - below, hi + above) clipped to the
// grid's faces on every axis (nothing is needed for an empty box): the
// points a box's outputs read. Throws a Failure regionNotCovered.
template <int N>
void check_region_covered(const GridRegion<N>& region, const std::array<int32_t, N>& held,
                          const std::array<int64_t, N>& below, const std::array<int64_t, N>& above)
{
    std::vector<int64_t> first(N), end(N), need_first(N), need_end(N);
    bool empty_box = false, covered = true;
    for (int a = 0; a < N; ++a) {
        first[a] = region.origin[a];
        end[a] = int64_t{region.origin[a]} + held[a];
        need_first[a] = std::max<int64_t>(0, int64_t{region.lo[a]} - below[a]);
        need_end[a] = std::min<int64_t>(region.grid[a], int64_t{region.hi[a]} + above[a]);
        empty_box = empty_box || region.lo[a] == region.hi[a];
        covered = covered && first[a] <= need_first[a] && end[a] >= need_end[a];
        if (end[a] > region.grid[a])
            fail("regionNotCovered",
                 "the inputs cover [" + detail::axes_text(first) + ", " + detail::axes_text(end) +
                     ") on the first " + std::to_string(a + 1) +
                     " axes, beyond the grid's far face; pass inputs of at most grid - origin "
                     "points per axis");
    }
    if (!empty_box && !covered)
        fail("regionNotCovered",
             "the inputs cover [" + detail::axes_text(first) + ", " + detail::axes_text(end) +
                 ") of the grid, but the box and its halo need [" + detail::axes_text(need_first) +
                 ", " + detail::axes_text(need_end) +
                 "); pass inputs that cover the box and its halo, clipped at the grid's faces");
}

}  // namespace regkern
