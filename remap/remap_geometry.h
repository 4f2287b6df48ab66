// Where a block of the remapping grid sits along one axis: its centre, the
// window positions that fall inside the image, the region of voxels it maps,
// and the part of that region whose final value it gives.
#pragma once

#include <cstdint>
#include <vector>

#include "indexing.h"

namespace regkern {

struct AxisSpan {
    double centre;     // stored in the element type, held here exactly
    int32_t k_lo;      // window positions k_lo..k_hi (inclusive) lie inside the image
    int32_t k_hi;
    int32_t lo;        // the block's region lo..hi (inclusive)
    int32_t hi;
    int32_t write_hi;  // lo..write_hi: the voxels no later block along this axis maps
};

// Block centre b * spacing + half_span, rounded to the element type T, and
// clamped from above to the last voxel.
template <class T>
T block_centre(int32_t b, T spacing, T half_span, int32_t extent)
{
    T centre = static_cast<T>(static_cast<double>(static_cast<T>(b)) * spacing + half_span);
    if (static_cast<double>(extent) - 1.0 < centre) centre = static_cast<T>(extent - 1);
    return centre;
}

template <class T>
int32_t region_lo(T centre, T half_span)
{
    const int32_t lo = to_int_saturated(static_cast<double>(centre) - half_span);
    return lo < 0 ? 0 : lo;
}

template <class T>
int32_t region_hi(T centre, T half_span, int32_t extent)
{
    const int32_t hi = to_int_saturated(static_cast<double>(centre) + half_span);
    return hi > extent - 1 ? extent - 1 : hi;
}

// The span of block b of `blocks` along an axis of `extent` voxels, with a
// window of `window` positions and half-width `half`.
//
// Regions grow monotonically with the block index, so the voxels of block b
// from the next block's lower bound on are mapped again by a later block;
// write_hi stops short of them. Mapping only lo..write_hi gives every voxel
// the value of the last block containing it, whichever worker runs which block.
template <class T>
AxisSpan axis_span(int32_t b, int32_t blocks, T spacing, T half_span, int32_t extent,
                   int32_t window, int32_t half)
{
    const T centre = block_centre(b, spacing, half_span, extent);
    AxisSpan span;
    span.centre = centre;
    const int32_t k_lo = to_int_saturated(static_cast<double>(half) - centre);
    const int32_t k_hi = to_int_saturated(
        static_cast<double>(static_cast<int64_t>(extent) - 1 + half) - centre);
    span.k_lo = k_lo < 0 ? 0 : k_lo;
    span.k_hi = k_hi > window - 1 ? window - 1 : k_hi;
    span.lo = region_lo(centre, half_span);
    span.hi = region_hi(centre, half_span, extent);
    span.write_hi = span.hi;
    if (b + 1 < blocks) {
        const int32_t next_lo = region_lo(block_centre(b + 1, spacing, half_span, extent), half_span);
        if (next_lo - 1 < span.write_hi) span.write_hi = next_lo - 1;
    }
    return span;
}

// The spans of the blocks along an axis that give some voxel its final value,
// in block order. A block whose every voxel a later block maps again does no
// visible work; leaving it out keeps a spacing far below 1 (many blocks per
// voxel) from costing more than one block per voxel.
template <class T>
std::vector<AxisSpan> writing_spans(int32_t blocks, T spacing, T half_span, int32_t extent,
                                    int32_t window, int32_t half)
{
    std::vector<AxisSpan> spans;
    for (int32_t b = 0; b < blocks; ++b) {
        const AxisSpan span = axis_span(b, blocks, spacing, half_span, extent, window, half);
        if (span.lo <= span.write_hi) spans.push_back(span);
    }
    return spans;
}

}  // namespace regkern

namespace regkern {

// writing_spans for the blocks that give a voxel of [box_lo, box_hi) its
// final value, with lo and write_hi cut to the box: a region call maps only
// its box, with every block placed as in the whole grid. Block b's lower
// bound lo_b and its last written voxel write_hi_b both grow with b (the
// centres do), so those blocks are one run of indices, found by bisection:
// a box costs no more than its own blocks, whatever the whole grid's size.
// The whole grid as the box gives writing_spans.
template <class T>
std::vector<AxisSpan> box_writing_spans(int32_t blocks, T spacing, T half_span, int32_t extent,
                                        int32_t window, int32_t half, int32_t box_lo,
                                        int32_t box_hi)
{
    std::vector<AxisSpan> spans;
    if (box_lo >= box_hi || blocks == 0) return spans;
    auto span_of = [&](int32_t b) {
        return axis_span(b, blocks, spacing, half_span, extent, window, half);
    };
    // The first block whose write_hi reaches the box, and the first whose
    // lo lies past it.
    int32_t first = 0, past = blocks;
    for (int32_t hi = blocks; first < hi;) {
        const int32_t mid = first + (hi - first) / 2;
        if (span_of(mid).write_hi >= box_lo) hi = mid; else first = mid + 1;
    }
    for (int32_t lo = first; lo < past;) {
        const int32_t mid = lo + (past - lo) / 2;
        if (span_of(mid).lo >= box_hi) past = mid; else lo = mid + 1;
    }
    for (int32_t b = first; b < past; ++b) {
        AxisSpan span = span_of(b);
        if (span.lo < box_lo) span.lo = box_lo;
        if (span.write_hi > box_hi - 1) span.write_hi = box_hi - 1;
        if (span.lo <= span.write_hi) spans.push_back(span);
    }
    return spans;
}

}  // namespace regkern
