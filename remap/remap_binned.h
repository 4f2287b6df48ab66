// The binned path of the remapping worker.
//
// Neighbouring blocks' windows overlap: a 13-wide window at spacing 6 reads
// each voxel about ten times, once for every block whose window covers it,
// and placing the four values on the bin axis each time costs more than the
// histogram additions themselves. So a worker visits its blocks in tiles of
// neighbouring blocks across the slab axis and, for each tile, walks its
// block layers along the slab axis. The voxels the tile's windows read are
// placed on the bin axis once, into a buffer holding every slice (along the
// slab axis) that the current layer's windows span; the slices sit in a ring
// and a slice is binned only when a layer first needs it. Gathering from the
// buffer adds the same values, in the same order, as binning on the fly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "remap_block.h"

namespace regkern {

// Largest buffer a worker bins into; tiles shrink (down to one block) to
// stay within it, and beyond it the worker bins on the fly.
constexpr double binned_buffer_bytes = 2.0 * 1024 * 1024;

// Tile shapes tried, largest first: blocks along x, and along the axis
// across x and the slab axis (y of a volume; a plane has one z position).
// Longer rows along x keep the images' rows contiguous when binning.
constexpr int32_t binned_tile_shapes[][2] = {{16, 8}, {8, 8}, {8, 4}, {4, 4}, {4, 2},
                                             {2, 2}, {2, 1}, {1, 1}};

// The voxels along an axis that the windows of spans[first..end-1] read:
// *lo..*hi, or 0..-1 when there are none (a window of extent 0). Window
// position k of a block reads voxel to_int(centre + k - half).
inline void window_reach(const AxisSpan* spans, int32_t first, int32_t end, int32_t half,
                         int32_t* lo, int32_t* hi)
{
    *lo = INT32_MAX;
    *hi = -1;
    for (int32_t b = first; b < end; ++b) {
        const AxisSpan& span = spans[b];
        if (span.k_hi < span.k_lo) continue;
        const int32_t p_lo = to_int(span.centre + span.k_lo - half);
        const int32_t p_hi = to_int(span.centre + span.k_hi - half);
        if (p_lo < *lo) *lo = p_lo;
        if (p_hi > *hi) *hi = p_hi;
    }
    if (*hi < *lo) *lo = 0;
}

// The most voxels along an axis that the windows of any `group` consecutive
// spans (taken from the first on) read together.
inline int32_t widest_reach(const AxisSpan* spans, int32_t count, int32_t group, int32_t half)
{
    int32_t widest = 0;
    for (int32_t first = 0; first < count; first += group) {
        const int32_t end = first + group < count ? first + group : count;
        int32_t lo, hi;
        window_reach(spans, first, end, half, &lo, &hi);
        if (hi - lo + 1 > widest) widest = hi - lo + 1;
    }
    return widest;
}

// The buffer axes: x varies fastest, then the other axis across the slab
// axis (y for a volume, the single z position of a plane), then the ring.
inline int buffer_cross_axis(int slab_axis) { return slab_axis == 2 ? 1 : 2; }

// Picks the tile shape and buffer extents for a call, or leaves tile_blocks
// at 0 (bin on the fly). Binning once pays only where neighbouring blocks'
// windows overlap (windows wider than the spacing along some axis); without
// overlap each voxel is read at most once and binning it first is extra work.
// Histograms wider than whole_clear_bins track the cells each block touches,
// which only the on-the-fly path does.
template <class T>
void choose_binned_layout(RemapShared<T>& s)
{
    s.tile_blocks[0] = s.tile_blocks[1] = s.tile_blocks[2] = 0;
    if (s.nb > whole_clear_bins) return;
    bool overlap = false;
    for (int axis = 0; axis <= s.slab_axis; ++axis)
        overlap = overlap || static_cast<double>(s.window_size[axis]) > s.spacing;
    if (!overlap) return;
    const int r = s.slab_axis, v = buffer_cross_axis(r);
    const int32_t ring = widest_reach(s.spans[r], s.span_count[r], 1, s.half_window[r]);
    for (const auto& shape : binned_tile_shapes) {
        int32_t tile[3];
        tile[0] = shape[0];
        tile[v] = shape[1];
        tile[r] = 1;
        int32_t extent[3];
        double bytes = static_cast<double>(sizeof(BinnedVoxel<T>));
        for (int axis = 0; axis < 3; ++axis) {
            extent[axis] = axis == r ? ring
                                     : widest_reach(s.spans[axis], s.span_count[axis],
                                                    tile[axis], s.half_window[axis]);
            bytes *= extent[axis];
        }
        if (bytes <= binned_buffer_bytes) {
            for (int axis = 0; axis < 3; ++axis) {
                s.tile_blocks[axis] = tile[axis];
                s.buffer_extent[axis] = extent[axis];
            }
            return;
        }
    }
}

// Buffer elements between consecutive positions along each axis.
template <class T>
void buffer_pitches(const RemapShared<T>& s, int32_t (&pitch)[3])
{
    const int r = s.slab_axis, v = buffer_cross_axis(r);
    pitch[0] = 1;
    pitch[v] = s.buffer_extent[0];
    pitch[r] = s.buffer_extent[0] * s.buffer_extent[v];
}

// bin_share() in the form the buffer keeps: cell offsets along the axis
// the image indexes (stride 1 or nb), lo = -1 for a NaN.
template <class T>
inline BinnedValue<T> binned_value(T value, int32_t stride, const RemapShared<T>& s)
{
    const BinShare<T> share = bin_share(value, s);
    BinnedValue<T> binned;
    binned.lo = share.valid ? share.lo * stride : -1;
    binned.hi = share.hi * stride;
    binned.frac = share.frac;
    return binned;
}

// Bins slice p (along the slab axis) of the tile's footprint, origin[axis]
// onwards for count[axis] voxels across, into its ring slot.
template <class T>
void bin_slice(const RemapTask<T>& task, const int32_t (&origin)[3], const int32_t (&count)[3],
               int32_t p)
{
    const RemapShared<T>& s = *task.shared;
    const int r = s.slab_axis, v = buffer_cross_axis(r);
    int32_t pitch[3];
    buffer_pitches(s, pitch);
    const int32_t slot = p % s.buffer_extent[r];
    const int32_t sx = s.held_size[0], sy = s.held_size[1];
    const int32_t nb = s.nb;
    int32_t at[3];
    at[r] = p;
    for (int32_t j = 0; j < count[v]; ++j) {
        at[v] = origin[v] + j;
        at[0] = origin[0];
        const int32_t first = linear_index_3d(at[0] - s.held_origin[0], at[1] - s.held_origin[1],
                                              at[2] - s.held_origin[2], sx, sy);
        BinnedVoxel<T>* const row = task.binned + slot * pitch[r] + j * pitch[v];
        for (int32_t i = 0; i < count[0]; ++i) {
            const int32_t q = first + i;
            BinnedVoxel<T>& out = row[i];
            out.a = binned_value(s.image_a[q], nb, s);
            out.d = binned_value(s.image_d[q], 1, s);
            out.c = binned_value(s.image_c[q], 1, s);
            out.b = binned_value(s.image_b[q], nb, s);
        }
    }
    task.ring_tags[slot] = p;
}

// Makes sure the ring holds every slice the windows of slab layer `layer`
// read, binning those it does not hold yet.
template <class T>
void fill_ring(const RemapTask<T>& task, const int32_t (&origin)[3], const int32_t (&count)[3],
               int32_t layer)
{
    const RemapShared<T>& s = *task.shared;
    const int r = s.slab_axis;
    int32_t lo, hi;
    window_reach(s.spans[r], layer, layer + 1, s.half_window[r], &lo, &hi);
    for (int32_t p = lo; p <= hi; ++p)
        if (task.ring_tags[p % s.buffer_extent[r]] != p) bin_slice(task, origin, count, p);
}

// One row of a block's window: positions kx_lo..kx_hi read the buffer
// voxels row[offset_x[kx]], which are row[offset_x[kx_lo] + kx - kx_lo]
// when the row reads consecutive voxels (always, unless a fraction of the
// block centre makes two positions read the same voxel).
template <class T, bool consecutive>
inline void gather_row(T* const hist_ad, T* const hist_cb, const BinnedVoxel<T>* const row,
                       const int32_t* const offset_x, const T* const weight_row,
                       const int32_t kx_lo, const int32_t kx_hi)
{
    const BinnedVoxel<T>* const first = row + offset_x[kx_lo] - kx_lo;
    for (int32_t kx = kx_lo; kx <= kx_hi; ++kx) {
        const BinnedVoxel<T>& v = consecutive ? first[kx] : row[offset_x[kx]];
        const T weight = weight_row[kx];
        if ((v.a.lo | v.d.lo) >= 0)
            gather_pair(hist_ad, v.a.lo, v.a.hi, v.d.lo, v.d.hi, v.a.frac, v.d.frac, weight);
        if ((v.c.lo | v.b.lo) >= 0)
            gather_pair(hist_cb, v.c.lo, v.c.hi, v.b.lo, v.b.hi, v.c.frac, v.b.frac, weight);
    }
}

// Gathers a block's histograms from the buffer. origin gives the tile's
// first voxel held along each axis other than the slab axis.
template <class T>
void gather_binned(const RemapTask<T>& task, const AxisSpan (&span)[3], const int32_t (&origin)[3])
{
    const RemapShared<T>& s = *task.shared;
    const int r = s.slab_axis;
    int32_t pitch[3];
    buffer_pitches(s, pitch);
    for (int axis = 0; axis < 3; ++axis) {
        int32_t* const offsets = task.window_offsets[axis];
        const AxisSpan& along = span[axis];
        for (int32_t k = along.k_lo; k <= along.k_hi; ++k) {
            const int32_t p = to_int(along.centre + k - s.half_window[axis]);
            const int32_t held = axis == r ? p % s.buffer_extent[r] : p - origin[axis];
            offsets[k] = held * pitch[axis];
        }
    }

    // Locals, so that the stores into the histograms cannot be taken to
    // change them.
    const int32_t* const offset_x = task.window_offsets[0];
    const int32_t* const offset_y = task.window_offsets[1];
    const int32_t* const offset_z = task.window_offsets[2];
    const BinnedVoxel<T>* const buffer = task.binned;
    const T* const weights = s.weights;
    const int32_t wx = s.window_size[0], wy = s.window_size[1];
    const int32_t kx_lo = span[0].k_lo, kx_hi = span[0].k_hi;
    bool consecutive = true;
    for (int32_t kx = kx_lo; kx <= kx_hi; ++kx)
        consecutive = consecutive && offset_x[kx] == offset_x[kx_lo] + (kx - kx_lo);
    T* const hist_ad = task.hist_ad;
    T* const hist_cb = task.hist_cb;
    for (int32_t kz = span[2].k_lo; kz <= span[2].k_hi; ++kz) {
        for (int32_t ky = span[1].k_lo; ky <= span[1].k_hi; ++ky) {
            const BinnedVoxel<T>* const row = buffer + offset_z[kz] + offset_y[ky];
            const T* const weight_row = weights + linear_index_3d(0, ky, kz, wx, wy);
            if (consecutive)
                gather_row<T, true>(hist_ad, hist_cb, row, offset_x, weight_row, kx_lo, kx_hi);
            else
                gather_row<T, false>(hist_ad, hist_cb, row, offset_x, weight_row, kx_lo, kx_hi);
        }
    }
}

}  // namespace regkern
