// Small helpers shared by the C++ tests: seeded random data, bitwise
// comparison, and calls that bundle their inputs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "standin.h"

namespace testing_support {

// Compares two arrays bit for bit (NaN payloads included) and reports the
// first difference.
template <class T>
::testing::AssertionResult same_bits(const std::vector<T>& actual, const std::vector<T>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "size " << actual.size() << " != " << expected.size();
    for (size_t i = 0; i < actual.size(); ++i) {
        if (std::memcmp(&actual[i], &expected[i], sizeof(T)) != 0)
            return ::testing::AssertionFailure() << "element " << i << ": " << actual[i]
                                                 << " != " << expected[i];
    }
    return ::testing::AssertionSuccess();
}

template <class T>
std::vector<T> uniform(std::mt19937& rng, size_t n, double lo, double hi)
{
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<T> v(n);
    for (T& x : v) x = static_cast<T>(dist(rng));
    return v;
}

inline int pick(std::mt19937& rng, int lo, int hi)
{
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// Owns the inputs of one call.
struct Inputs {
    std::vector<standin::Array> arrays;
    template <class T> Inputs& add(const std::vector<int>& dims, const std::vector<T>& values)
    {
        arrays.push_back(standin::make_filled<T>(dims, values));
        return *this;
    }
    Inputs& add(standin::Array array)
    {
        arrays.push_back(std::move(array));
        return *this;
    }
    std::vector<const mxArray*> pointers() const
    {
        std::vector<const mxArray*> p;
        for (const standin::Array& a : arrays) p.push_back(a.get());
        return p;
    }
};

inline standin::CallResult call(const std::string& plugin, int nlhs, const Inputs& inputs)
{
    return standin::call(plugin, nlhs, inputs.pointers());
}

// Exactly one warning since the last check, with this identifier and message
// (an empty id: no warning at all). Starts the count afresh.
inline ::testing::AssertionResult warned(const std::string& id, const std::string& message = "")
{
    const long count = standin::warning_count();
    const standin::Warning last = standin::last_warning();
    standin::reset_warnings();
    if (id.empty()) {
        if (count == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << count << " warnings, the last " << last.id << ": "
                                             << last.message;
    }
    if (count != 1) return ::testing::AssertionFailure() << count << " warnings, not 1";
    if (last.id != id || last.message != message)
        return ::testing::AssertionFailure() << "warning " << last.id << ": \"" << last.message
                                             << "\"\n expected " << id << ": \"" << message << "\"";
    return ::testing::AssertionSuccess();
}

}  // namespace testing_support
