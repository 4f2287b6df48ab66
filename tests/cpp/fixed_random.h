// Random values that are the same on every platform. std::mt19937's sequence
// is fixed by the C++ standard, but std::uniform_real_distribution is not
// (another standard library may give other values from the same engine), so
// inputs that are compared across platforms are drawn with this instead.
#pragma once

#include <cstdint>
#include <random>

namespace fixed_random {

// A double in [0, 1) made from 53 bits of two engine draws.
inline double unit(std::mt19937& rng)
{
    const std::uint32_t high = rng() >> 5;  // 27 bits
    const std::uint32_t low = rng() >> 6;   // 26 bits
    return (high * 67108864.0 + low) / 9007199254740992.0;
}

// A double in [lo, hi).
inline double uniform(std::mt19937& rng, double lo, double hi)
{
    return lo + (hi - lo) * unit(rng);
}

}  // namespace fixed_random
