// One block of the remapping, and what the workers work on: a block gathers
// the two weighted joint histograms over its window (A against D, C against
// B) and maps every voxel it owns to the partner intensity most often seen
// with its own. The order of the blocks is the worker's (remap_worker.h).
//
// T is the element type (float or double). Every value is stored in T and each
// expression between two stores is evaluated in double, so the float build
// rounds exactly where the double build stores. D is 2 (plane) or 3 (volume);
// a plane is a volume of one slice whose z axis never varies.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "indexing.h"
#include "remap_geometry.h"

namespace regkern {

// What all workers of a call share; read-only while they run.
template <class T>
struct RemapShared {
    const T* image_a;
    const T* image_c;
    const T* image_b;
    const T* image_d;
    const T* weights;
    T* out_a;
    T* out_b;
    int32_t image_size[3];   // sx, sy, sz (sz = 1 for a plane) of the whole grid
    // The images as handed over: held_size voxels from held_origin of the
    // whole grid (a whole call: all of it); and the outputs: the box of
    // box_size voxels from box_lo (a whole call: the whole grid). Blocks,
    // windows and spans are placed in whole-grid coordinates.
    int32_t held_origin[3];
    int32_t held_size[3];
    int32_t box_lo[3];
    int32_t box_size[3];
    int32_t window_size[3];  // wx, wy, wz
    int32_t half_window[3];  // (w - 1) / 2
    const AxisSpan* spans[3];  // per axis, the blocks that give voxels their final value
    int32_t span_count[3];
    int slab_axis;             // the axis whose block layers are split among workers
    T bins;
    int32_t nb;
    T min;
    T bin_scale;
    T spacing;
    T half_span;
    const T* bin_value;  // per bin, the intensity it maps back to
    // Binned path (remap_binned.h): blocks per tile along each axis, 0 when
    // every block bins its own window; buffer extents per axis (the slab
    // axis: ring slices).
    int32_t tile_blocks[3];
    int32_t buffer_extent[3];
};

// A value placed on the bin axis for one histogram: the offsets of its lower
// and upper bin's cells along the axis this image indexes (bin times that
// axis's stride), and the fraction between them. lo = -1: NaN, no part.
template <class T>
struct BinnedValue {
    int32_t lo;
    int32_t hi;
    T frac;
};

// The four images' values at one voxel, in the order they are gathered.
template <class T>
struct BinnedVoxel {
    BinnedValue<T> a, d, c, b;
};

// One worker's share: the block layers spans[slab_axis][first..end-1], and
// its own scratch.
template <class T>
struct RemapTask {
    const RemapShared<T>* shared;
    int32_t first_layer;  // indices into the slab axis's spans
    int32_t end_layer;
    T* hist_ad;       // nb * nb cells, zero between blocks; row of an A bin contiguous
    T* hist_cb;       // nb * nb cells, zero between blocks; column of a B bin contiguous
    int32_t* mode_a;  // per A bin: its row's mode in this block, -1 = not yet known
    int32_t* mode_b;  // per B bin: its column's mode in this block
    // Binned path only: the footprint buffer, the slab-axis position held by
    // each ring slot, and per axis the buffer offset of each window position.
    BinnedVoxel<T>* binned;
    int32_t* ring_tags;
    int32_t* window_offsets[3];
};

// The box of cells a block touched, as lines (the bins being mapped) by
// positions along a line (the partner bins). Every cell outside it is zero.
struct TouchedBox {
    int32_t line_lo, line_hi, pos_lo, pos_hi;
};

inline TouchedBox empty_box() { return TouchedBox{INT32_MAX, -1, INT32_MAX, -1}; }

inline void extend_box(TouchedBox& box, int32_t line_lo, int32_t line_hi, int32_t pos_lo,
                       int32_t pos_hi)
{
    if (line_lo < box.line_lo) box.line_lo = line_lo;
    if (line_hi > box.line_hi) box.line_hi = line_hi;
    if (pos_lo < box.pos_lo) box.pos_lo = pos_lo;
    if (pos_hi > box.pos_hi) box.pos_hi = pos_hi;
}

// Sets the touched cells back to zero, leaving the histogram clear for the
// next block without sweeping all nb * nb cells.
template <class T>
void clear_box(T* hist, int32_t nb, const TouchedBox& box)
{
    if (box.line_hi < box.line_lo) return;
    const size_t width = static_cast<size_t>(box.pos_hi - box.pos_lo + 1);
    for (int32_t line = box.line_lo; line <= box.line_hi; ++line)
        std::memset(hist + static_cast<int64_t>(line) * nb + box.pos_lo, 0, width * sizeof(T));
}

// A sample value's place on the bin axis: lower bin, upper bin and the
// fraction of the way from the lower to the upper one.
template <class T>
struct BinShare {
    bool valid;
    int32_t lo;
    int32_t hi;
    T frac;
};

template <class T>
inline T bin_position(T value, const RemapShared<T>& s)
{
    return static_cast<T>(static_cast<double>(s.bin_scale) *
                          (static_cast<double>(value) - static_cast<double>(s.min)));
}

// A NaN position takes no part. A position below bin 0 is raised to 0 and one
// beyond the last bin lowered to it, so out-of-range values land in the edge
// bins instead of outside the histogram; inside the range nothing changes.
// After the clamps the position is not negative, so truncation is its floor,
// and "floor beyond the last bin" is "at or past bins". The clamps are
// selections, not branches (this runs for every voxel a window reads); a NaN
// passes through them to the last bin and is marked invalid.
template <class T>
inline BinShare<T> bin_share(T value, const RemapShared<T>& s)
{
    const double p = bin_position(value, s);
    const double bins = s.bins;
    double clamped = p < 0 ? 0.0 : p;
    clamped = clamped < bins ? clamped : bins - 1.0;
    BinShare<T> share;
    share.valid = p == p;
    share.lo = static_cast<int32_t>(clamped);
    share.hi = share.lo < s.nb - 1 ? share.lo + 1 : share.lo;
    share.frac = static_cast<T>(clamped - share.lo);
    return share;
}

template <class T>
inline void add_to_cell(T* cell, T factor, T weight)
{
    *cell = static_cast<T>(static_cast<double>(*cell) +
                           static_cast<double>(factor) * static_cast<double>(weight));
}

// Shares one (first, second) sample pair among its four cells, in the order
// (lo, lo), (lo, hi), (hi, lo), (hi, hi). i0/i1 are the offsets of the first
// value's lower and upper bin, j0/j1 the second's, f and g their fractions.
template <class T>
inline void gather_pair(T* hist, int32_t i0, int32_t i1, int32_t j0, int32_t j1, double f,
                        double g, T weight)
{
    add_to_cell(hist + i0 + j0, static_cast<T>((1.0 - f) * (1.0 - g)), weight);
    add_to_cell(hist + i0 + j1, static_cast<T>((1.0 - f) * g), weight);
    add_to_cell(hist + i1 + j0, static_cast<T>(f * (1.0 - g)), weight);
    add_to_cell(hist + i1 + j1, static_cast<T>(f * g), weight);
}

// The same for two bin shares; cell (i, j) is stored at
// i * stride_first + j * stride_second.
template <class T>
inline void gather_shares(T* hist, int32_t stride_first, int32_t stride_second,
                          const BinShare<T>& first, const BinShare<T>& second, T weight)
{
    gather_pair(hist, first.lo * stride_first, first.hi * stride_first,
                second.lo * stride_second, second.hi * stride_second, first.frac, second.frac,
                weight);
}

// Index of the first largest of the nb cells of a line, scanning from cell 0
// with a strict comparison, so ties go to the lowest index and a line of
// zeros gives 0. Only cells pos_lo..pos_hi can be non-zero: the zero runs
// before and after them are folded into one comparison each, which picks the
// same index a cell-by-cell scan would.
template <class T>
inline int32_t line_mode(const T* line, int32_t nb, int32_t pos_lo, int32_t pos_hi)
{
    int32_t best = 0;
    T m = line[0];
    if (pos_hi < pos_lo) return best;
    for (int32_t k = pos_lo; k <= pos_hi; ++k) {
        if (m < line[k]) {
            m = line[k];
            best = k;
        }
    }
    if (pos_hi + 1 < nb && m < T(0)) best = pos_hi + 1;
    return best;
}

// The intensity a bin maps back to: bin / bin_scale + min.
template <class T>
inline T bin_intensity(int32_t bin, const RemapShared<T>& s)
{
    const T best = static_cast<T>(bin);
    return static_cast<T>(static_cast<double>(best) / static_cast<double>(s.bin_scale) +
                          static_cast<double>(s.min));
}

// The histogram line of a voxel value: its bin position rounded half up and
// clamped to the bins, or -1 for NaN. floor(y) < 0 and floor(y) > nb - 1 are
// y < 1 and y >= nb, and truncation is the floor in between, so the rounding
// needs no floor. (In single precision the rounded position would be stored
// as a float first; the clamps give the same line for every value.)
template <class T>
inline int32_t map_line(T value, const RemapShared<T>& s)
{
    const double y = static_cast<double>(bin_position(value, s)) + 0.5;
    if (std::isnan(y)) return -1;
    if (y < 1) return 0;
    if (y >= s.nb) return s.nb - 1;
    return static_cast<int32_t>(y);
}

// The partner intensity for one voxel value: the mode of the value's line of
// the histogram (cached per block in modes), as an intensity from the table
// s.bin_value. A NaN voxel maps to NaN.
template <class T>
inline T map_value(T value, const T* hist, int32_t* modes, const TouchedBox& box,
                   const RemapShared<T>& s)
{
    const int32_t key = map_line(value, s);
    if (key < 0) return std::numeric_limits<T>::quiet_NaN();
    int32_t mode = 0;  // a line the block never touched is all zeros
    if (box.line_lo <= key && key <= box.line_hi) {
        if (modes[key] < 0)
            modes[key] = line_mode(hist + static_cast<int64_t>(key) * s.nb, s.nb, box.pos_lo,
                                   box.pos_hi);
        mode = modes[key];
    }
    return s.bin_value[mode];
}

// Histograms of at most this many bins per axis are cleared whole after each
// block; that costs less than tracking which cells a block touched.
constexpr int32_t whole_clear_bins = 256;

// Maps the voxels a block owns (lo..write_hi on every axis) through its
// histograms, then leaves the histograms and mode caches clear for the next
// block. Cells outside the boxes are zero.
template <class T>
void finish_block(const RemapTask<T>& task, const AxisSpan (&span)[3], const TouchedBox& box_ad,
                  const TouchedBox& box_cb)
{
    const RemapShared<T>& s = *task.shared;
    const int32_t hx = s.held_size[0], hy = s.held_size[1];
    const int32_t ox = s.box_size[0], oy = s.box_size[1];
    for (int32_t z = span[2].lo; z <= span[2].write_hi; ++z) {
        for (int32_t y = span[1].lo; y <= span[1].write_hi; ++y) {
            // Rows of the held images and of the box, at whole-grid x.
            const int32_t held = linear_index_3d(0, y - s.held_origin[1], z - s.held_origin[2], hx, hy) -
                                 s.held_origin[0];
            const int32_t out = linear_index_3d(0, y - s.box_lo[1], z - s.box_lo[2], ox, oy) -
                                s.box_lo[0];
            for (int32_t x = span[0].lo; x <= span[0].write_hi; ++x) {
                s.out_a[out + x] = map_value(s.image_a[held + x], task.hist_ad, task.mode_a, box_ad, s);
                s.out_b[out + x] = map_value(s.image_b[held + x], task.hist_cb, task.mode_b, box_cb, s);
            }
        }
    }

    clear_box(task.hist_ad, s.nb, box_ad);
    clear_box(task.hist_cb, s.nb, box_cb);
    for (int32_t k = box_ad.line_lo; k <= box_ad.line_hi; ++k) task.mode_a[k] = -1;
    for (int32_t k = box_cb.line_lo; k <= box_cb.line_hi; ++k) task.mode_b[k] = -1;
}

// One block, placing every window sample on the bin axis as it is read.
// With track_box the block tracks the cells it touches; otherwise the whole
// histograms count as touched.
template <class T, bool track_box>
void remap_block(const RemapTask<T>& task, const AxisSpan (&span)[3])
{
    const RemapShared<T>& s = *task.shared;
    const int32_t nb = s.nb;
    const TouchedBox whole{0, nb - 1, 0, nb - 1};
    TouchedBox box_ad = track_box ? empty_box() : whole;
    TouchedBox box_cb = track_box ? empty_box() : whole;

    // Locals, so that the stores into the histograms cannot be taken to
    // change them.
    const int32_t sx = s.held_size[0], sy = s.held_size[1];
    const int32_t wx = s.window_size[0], wy = s.window_size[1];
    const T* const image_a = s.image_a;
    const T* const image_d = s.image_d;
    const T* const image_c = s.image_c;
    const T* const image_b = s.image_b;
    const T* const weights = s.weights;
    T* const hist_ad = task.hist_ad;
    T* const hist_cb = task.hist_cb;
    for (int32_t kz = span[2].k_lo; kz <= span[2].k_hi; ++kz) {
        const int32_t pz = to_int(span[2].centre + kz - s.half_window[2]);
        for (int32_t ky = span[1].k_lo; ky <= span[1].k_hi; ++ky) {
            const int32_t py = to_int(span[1].centre + ky - s.half_window[1]);
            // Window positions are whole-grid voxels; the images are held from held_origin.
            const int32_t row = linear_index_3d(0, py - s.held_origin[1], pz - s.held_origin[2], sx, sy) -
                                s.held_origin[0];
            const T* const weight_row = weights + linear_index_3d(0, ky, kz, wx, wy);
            for (int32_t kx = span[0].k_lo; kx <= span[0].k_hi; ++kx) {
                const int32_t q = row + to_int(span[0].centre + kx - s.half_window[0]);
                const T weight = weight_row[kx];
                const BinShare<T> a = bin_share(image_a[q], s);
                const BinShare<T> d = bin_share(image_d[q], s);
                if (a.valid && d.valid) {
                    gather_shares(hist_ad, nb, 1, a, d, weight);
                    if (track_box) extend_box(box_ad, a.lo, a.hi, d.lo, d.hi);
                }
                const BinShare<T> c = bin_share(image_c[q], s);
                const BinShare<T> b = bin_share(image_b[q], s);
                if (c.valid && b.valid) {
                    gather_shares(hist_cb, 1, nb, c, b, weight);
                    if (track_box) extend_box(box_cb, b.lo, b.hi, c.lo, c.hi);
                }
            }
        }
    }
    finish_block(task, span, box_ad, box_cb);
}

}  // namespace regkern
