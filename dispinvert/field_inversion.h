// The data of one field inversion and of one of its samples, shared by the
// splatting loop (splat.h) and the footprint walk (footprint.h).
#pragma once

#include <array>
#include <cstdint>

#include "pair.h"

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
    T* row_buffer;                        // room for one grid row (sx values)
};

namespace detail {

// One sample's splat: its carried value u, the lowest grid point its kernel
// can reach along each axis (floor(q) minus the half-width, in 64 bits so
// that adding a kernel index never overflows) and its corner weights W[c].
// Values of type T are held exactly in double, and also in both lanes of a
// Pair for splatting two grid points at once.
template <int N>
struct Sample {
    std::array<int64_t, N> reach_origin;
    std::array<double, N> carried;
    std::array<Pair, N> carried_pair;
    std::array<double, (1 << N)> corner_weight;
    std::array<Pair, (1 << N)> corner_weight_pair;
};

// While splatting, grid row (y, z) of the forward field and of S is stored
// rotated along x by shift(y, z) = (y * step[1] + z * step[2]) mod sx
// positions (step[0] unused): point x of the row lies at
// (x + shift) mod sx. When a row length in bytes is a multiple of 4096,
// neighbouring rows otherwise share their low 12 address bits point for
// point, and a load from one row is held up behind recent stores to the
// other (the processor compares only those bits at first). The
// normalisation puts every row back in place.
template <int N>
struct RowStagger {
    std::array<int32_t, N> step;
};

// (a + b) mod m for 0 <= a, b < m, without leaving the int32 range.
inline int32_t add_mod(int32_t a, int32_t b, int32_t m)
{
    return a >= m - b ? a - (m - b) : a + b;
}

// Offset of corner c along axis a: the bits of c, the first axis the highest.
template <int N>
constexpr int corner_offset(int c, int a)
{
    return (c >> (N - 1 - a)) & 1;
}

}  // namespace detail

}  // namespace regkern
