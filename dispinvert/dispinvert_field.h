// The data of one field inversion, of one worker's share of it and of one
// sample, shared by the splatting loop (dispinvert_splat.h) and the footprint walk
// (dispinvert_footprint.h).
#pragma once

#include <array>
#include <cstdint>

#include "vector_path.h"

namespace regkern {

// Which kernel axis the splatting loops run outermost. The corner loop is
// always innermost.
enum class KernelOrder {
    high_axis_outermost,  // k, then j, then i (storage order of the kernel)
    low_axis_outermost,   // i, then j, then k
};

// What a call reads and writes. A whole call reads and writes the whole
// grid (origin 0, box [0, grid)); a region call (dispinvert_region.h) reads
// the samples of a part of a larger grid and writes a box of it, both placed
// by whole-grid coordinates, so that every splat point is the whole call's.
template <class T, int N>
struct FieldInversion {
    std::array<int32_t, N> grid;          // sx, sy(, sz): the samples read
    std::array<int32_t, N> origin;        // whole-grid coordinates of sample 0
    std::array<int32_t, N> box_lo, box_hi;  // the forward field's box, whole-grid coordinates
    std::array<const T*, N> backward;     // bx, by(, bz), grid storage order
    std::array<int32_t, N> kernel_extent; // Kx, Ky(, Kz)
    const T* kernel;                      // H, kernel storage order
    std::array<T*, N> forward;            // Fx, Fy(, Fz) over the box: written by the normalisation
};

// Points of a grid or elements of a kernel (checked to fit in an int32).
template <int N>
int32_t extent_product(const std::array<int32_t, N>& extent)
{
    int32_t count = 1;
    for (int a = 0; a < N; ++a) count *= extent[a];
    return count;
}

template <int N> using CornerOffsets = std::array<int32_t, (1 << N)>;

// Values per grid point in a worker's sums: the N forward components and S.
constexpr int sums_per_point = 4;

// One worker's share: the slab [first, end) of the last grid axis (z-planes
// of a volume, rows of a plane) of the box, whole-grid coordinates. The
// worker visits every sample in storage order, adds the shares that land in
// its slab to its own sums, and then writes the normalised forward field of
// its slab.
template <class T, int N>
struct InversionSlab {
    const FieldInversion<T, N>* job;
    VectorPath path;
    int32_t first, end;
    // The kernel in double, zero-padded to weight_table elements (a multiple
    // of 4), shared read-only by all workers.
    const double* kernel;
    int32_t weight_table;
    // Per point of the slab, sums_per_point values (F..., S) side by side,
    // zero on entry, layer by layer along the last axis: layer[i] holds
    // layer first + i, in which point x (of row y) lies at x - box_lo[0]
    // (+ (y - box_lo[1]) * pitch[1]) in points. A volume's rows and a layer's end leave a gap (see
    // sums_pitch in dispinvert_splat.h); layer_points counts a layer with its gap.
    T* const* layer;
    std::array<int64_t, N> pitch;
    int64_t layer_points;
    // Room for the share weights of one sample: 2^N tables of weight_table
    // doubles (dispinvert_footprint.h), and where a point finds its weight through
    // corner c, relative to its own place: c * weight_table minus the
    // kernel element of the corner offsets.
    double* weights;
    CornerOffsets<N> corner;
};

namespace detail {

// One sample's splat: the lowest grid point its kernel can reach along each
// axis (floor(q) minus the half-width, in 64 bits so that adding a kernel
// index never overflows), its carried value u (lanes 0..N-1) with 1 in lane
// N (the lane of S, which takes the weight itself) and its corner weights
// W[c], each a T value held in double.
template <int N>
struct Sample {
    std::array<int64_t, N> reach_origin;
    double carried[4];
    std::array<double, (1 << N)> corner_weight;
};

// Offset of corner c along axis a: the bits of c, the first axis the highest.
template <int N>
constexpr int corner_offset(int c, int a)
{
    return (c >> (N - 1 - a)) & 1;
}

}  // namespace detail

}  // namespace regkern
