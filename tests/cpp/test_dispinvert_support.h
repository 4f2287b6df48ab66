// Helpers shared by the field-inversion tests: seeded random fields and
// kernels, calls through the stand-in host that watch for leaked arrays, and
// bit-for-bit comparison.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "standin.h"
#include "test_support.h"

namespace dispinvert_test {

inline int64_t count_of(const std::vector<int>& dims)
{
    int64_t n = 1;
    for (int d : dims) n *= d;
    return n;
}

// Every test checks that the host holds no more arrays at its end than at
// its start, and each call checks that it left only its outputs behind.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override { live_at_start_ = standin::live_arrays(); }
    void TearDown() override { EXPECT_EQ(standin::live_arrays(), live_at_start_); }

    static standin::CallResult call(const std::string& plugin, int nlhs,
                                    const std::vector<const mxArray*>& inputs)
    {
        const long before = standin::live_arrays();
        standin::CallResult result = standin::call(plugin, nlhs, inputs);
        EXPECT_EQ(standin::live_arrays(), before + static_cast<long>(result.outputs.size()))
            << plugin << " left arrays behind";
        return result;
    }

private:
    long live_at_start_ = 0;
};

// A displacement field component: mostly fractional values of either sign
// within a few grid points, with integral values, exact zeros and
// displacements far outside the grid mixed in.
template <class T>
std::vector<T> random_component(std::mt19937& rng, int64_t count, int extent)
{
    std::uniform_real_distribution<double> fractional(-2.5, 2.5);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> integral(-2, 2);
    std::vector<T> values(static_cast<size_t>(count));
    for (T& v : values) {
        switch (kind(rng)) {
        case 0: v = T(0); break;
        case 1: v = T(integral(rng)); break;
        case 2: v = T((extent + 3) * (fractional(rng) > 0 ? 1 : -1) + fractional(rng)); break;
        default: v = T(fractional(rng)); break;
        }
    }
    return values;
}

// Kernel values in (0, 1], or in [-1, 1] when signed.
template <class T>
std::vector<T> random_kernel(std::mt19937& rng, int64_t count, bool signed_values = false)
{
    std::uniform_real_distribution<double> value(signed_values ? -1.0 : 0.05, 1.0);
    std::vector<T> values(static_cast<size_t>(count));
    for (T& v : values) v = T(value(rng));
    return values;
}

// Kernel values from 1e-10 to 1e-7, evenly on a log scale: weight sums near
// the 1e-8 added before the division.
template <class T>
std::vector<T> tiny_kernel(std::mt19937& rng, int64_t count)
{
    std::uniform_real_distribution<double> exponent(-10.0, -7.0);
    std::vector<T> values(static_cast<size_t>(count));
    for (T& v : values) v = T(std::pow(10.0, exponent(rng)));
    return values;
}

// The data of a host array (usable where the element type is a template
// parameter).
template <class T> std::vector<T> values_of(const standin::Array& array)
{
    return array.values<T>();
}

using testing_support::same_bits;

}  // namespace dispinvert_test
