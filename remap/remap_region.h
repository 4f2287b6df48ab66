// A box of the remapping's outputs on its own, from the images of the box
// and its halo: the same bits as the whole call on that box.
//
// The block grid, the window clipping at the grid's faces, the centres
// clamped at the far face and "the last block wins" all come from the whole
// grid (image_size): the run maps the box's voxels with the blocks that give
// them their final value in the whole call (box_writing_spans), each
// gathering its whole window from the images handed over, in the same order.
//
// The halo, per axis, with half_span s = T((spacing - 1) / 2) and a window
// of w positions, half-width h = (w - 1) / 2. Voxel v is written by a block
// whose region lo..hi holds it: lo = trunc(c - s) <= v and trunc(c + s) >= v,
// so its centre c lies in [v - s, v + 1 + s). The block reads voxels
// trunc(c + k - h), k in [0, w): from v - ceil(s) - h to v + ceil(s) + w - h
// - 1. The roundings of c -/+ s and c + k - h in double can move a bound by
// one voxel (a centre just below an integer whose c + s rounds up to it), so
// each side takes one more: a box [lo, hi) reads within [lo - below, hi +
// above), below = ceil(s) + h + 1 and above = ceil(s) + w - h (each at least
// 0), clipped at the grid's faces. test_regions.cpp checks every block's
// reads against it.
//
// Chunks for speed. Any box gives the whole call's bits, but a block whose
// written voxels a chunk edge cuts gathers its window's histograms in both
// chunks. remap_chunk_edges gives edges at the first voxel a block writes,
// so that every block's histograms are gathered once.
//
// The census of a chunked call (outOfRange, narrowData): value_spread per
// chunk of each distinct image against the range (voxels inside, summed;
// least and greatest, fmin and fmax); for the images
// remap_census_needs_finite names, finite_census per chunk (summed, fmin,
// fmax); then warn_remap_images with the totals: the whole call's warnings.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "grid_region.h"
#include "remap_check.h"
#include "remap_geometry.h"

namespace regkern {

struct RemapHalo {
    int64_t below, above;
};

// The halo along an axis of a window of `window` positions at `spacing`.
template <class T>
RemapHalo remap_halo(T spacing, int32_t window)
{
    const T half_span = static_cast<T>((static_cast<double>(spacing) - 1.0) / 2.0);
    const double s = std::ceil(static_cast<double>(half_span));
    const int64_t c = s >= 0 ? static_cast<int64_t>(std::min(s, 2147483647.0)) : -1;
    const int64_t h = (window - 1) / 2;
    return {std::max<int64_t>(0, c + h + 1), std::max<int64_t>(0, c + window - h)};
}

// The chunk edges along an axis of `extent` voxels nearest above each
// multiple of `target`: 0, then per multiple the first voxel some block
// writes at or after it, then extent. Chunks between them map whole blocks.
template <class T>
std::vector<int64_t> remap_chunk_edges(int32_t extent, T spacing, int32_t window, int64_t target)
{
    std::vector<int64_t> edges = {0};
    if (extent == 0) return edges;
    const int32_t blocks = block_count(extent, spacing);
    const T half_span = static_cast<T>((static_cast<double>(spacing) - 1.0) / 2.0);
    const int32_t half = (window - 1) / 2;
    auto lo_of = [&](int32_t b) {
        return axis_span(b, blocks, spacing, half_span, extent, window, half).lo;
    };
    for (int64_t at = std::max<int64_t>(target, 1); at < extent; at += std::max<int64_t>(target, 1)) {
        if (at <= edges.back()) continue;
        int32_t first = 0;  // the first block whose lo is at or past `at`
        for (int32_t hi = blocks; first < hi;) {
            const int32_t mid = first + (hi - first) / 2;
            if (lo_of(mid) >= at) hi = mid; else first = mid + 1;
        }
        if (first == blocks) break;
        const int64_t edge = lo_of(first);
        if (edge > edges.back() && edge < extent) edges.push_back(edge);
    }
    edges.push_back(extent);
    return edges;
}

// Checks a region call of the D-dimensional remapping: the whole call's
// checks on the inputs handed over (the images are the held part of the
// whole grid; their warnings are the whole call's business and are
// dropped), then the region and that the images cover the box and its halo.
// The plan's outputs have the box's extents; its run is run_remap_region.
template <class T, int D>
RemapPlan<T> check_remap_region(const PlainArray* in, const std::vector<int64_t>& grid,
                                const std::vector<int64_t>& origin, const std::vector<int64_t>& lo,
                                const std::vector<int64_t>& hi)
{
    GatewayWarnings dropped;
    RemapPlan<T> plan = check_remap<T, D>(in, dropped);
    const GridRegion<D> region = check_grid_region<D>(grid, origin, lo, hi);
    RemapShared<T>& s = plan.shared;
    std::array<int32_t, D> held;
    std::array<int64_t, D> below, above;
    for (int axis = 0; axis < D; ++axis) {
        held[axis] = s.image_size[axis];
        const RemapHalo halo = remap_halo<T>(s.spacing, s.window_size[axis]);
        below[axis] = halo.below;
        above[axis] = halo.above;
    }
    check_region_covered<D>(region, held, below, above);

    plan.blocks = 1;
    int64_t box_voxels = 1;
    for (int axis = 0; axis < D; ++axis) {
        s.image_size[axis] = region.grid[axis];
        s.held_origin[axis] = region.origin[axis];
        s.held_size[axis] = held[axis];
        s.box_lo[axis] = region.lo[axis];
        s.box_size[axis] = region.hi[axis] - region.lo[axis];
        plan.grid_size[axis] = block_count(s.image_size[axis], s.spacing);
        plan.blocks *= plan.grid_size[axis];
        box_voxels *= s.box_size[axis];
    }
    // Zero first unless the blocks write every voxel of the box.
    bool covered = box_voxels > 0 && plan.blocks > 0;
    for (int axis = 0; axis < D && covered; ++axis) {
        const std::vector<AxisSpan> spans = box_writing_spans(
            plan.grid_size[axis], s.spacing, s.half_span, s.image_size[axis], s.window_size[axis],
            s.half_window[axis], s.box_lo[axis], s.box_lo[axis] + s.box_size[axis]);
        int32_t next = s.box_lo[axis];
        for (const AxisSpan& span : spans) {
            covered = covered && span.lo == next;
            next = span.write_hi + 1;
        }
        covered = covered && next == s.box_lo[axis] + s.box_size[axis];
    }
    plan.zero_fill = !covered;
    OutputShape shape = {D, {0, 0, 0}};
    for (int axis = 0; axis < D; ++axis) shape.extent[axis] = s.box_size[axis];
    plan.output[OUT_MAPPED_A] = shape;
    plan.output[OUT_MAPPED_B] = shape;
    return plan;
}

// The run of a region call: the whole call's, without its census (a
// chunked call takes it once, from its chunks' value_spread).
template <class T>
void run_remap_region(const RemapPlan<T>& plan, T* out_a, T* out_b, double host_threads)
{
    try {
        const RemapShared<T>& s = plan.shared;
        if (plan.blocks > 0 && int64_t{s.box_size[0]} * s.box_size[1] * s.box_size[2] > 0)
            run_remap_layers(plan, out_a, out_b, host_threads);
    } catch (...) {
        rethrow_as_failure();
    }
}



}  // namespace regkern
