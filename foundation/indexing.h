// Index and rounding helpers shared by every plug-in.
//
// Images, kernels, windows and histograms are column-major: the first index
// varies fastest. All index arithmetic is 32-bit signed; callers make sure
// (through the checks in plain_array.h) that every element count fits, so an
// index of an element inside its array never overflows.
#pragma once

#include <cmath>
#include <cstdint>

namespace regkern {

// The most bins per axis of a square histogram whose bins * bins cells are
// indexed in int32 arithmetic: 46340^2 fits, 46341^2 does not.
constexpr int32_t max_square_bins = 46340;

inline int32_t linear_index_2d(int32_t x, int32_t y, int32_t sx)
{
    return x + y * sx;
}

inline int32_t linear_index_3d(int32_t x, int32_t y, int32_t z, int32_t sx, int32_t sy)
{
    return x + y * sx + z * sx * sy;
}

// Truncation toward zero, so that a value in (-1, 0) becomes 0. The value
// must lie inside the int32 range; callers clamp first where it may not.
inline int32_t to_int(double v)
{
    return static_cast<int32_t>(v);
}

// Truncation toward zero for a value that may be anywhere (NaN included):
// NaN gives 0 and values beyond the int32 range saturate.
inline int32_t to_int_saturated(double v)
{
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace regkern
