// Helpers shared by the jointbins tests: calling either plug-in through the
// stand-in host and comparing results bit for bit.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "reference/jointbins_reference.h"
#include "standin.h"
#include "test_support.h"

namespace jointbins_test {

template <class T> const char* plugin();
template <> inline const char* plugin<double>() { return "jointbins_f64"; }
template <> inline const char* plugin<float>() { return "jointbins_f32"; }

template <class T>
struct Case {
    std::vector<int> dims1;
    std::vector<T> image1;
    std::vector<int> dims2;
    std::vector<T> image2;
    T lower, upper, bin_value;
};

template <class T>
standin::CallResult call(const Case<T>& c, int nlhs = 3)
{
    standin::Array a = standin::make_filled<T>(c.dims1, c.image1);
    standin::Array b = standin::make_filled<T>(c.dims2, c.image2);
    standin::Array l = standin::make_scalar<T>(c.lower);
    standin::Array u = standin::make_scalar<T>(c.upper);
    standin::Array k = standin::make_scalar<T>(c.bin_value);
    return standin::call(plugin<T>(), nlhs, {a.get(), b.get(), l.get(), u.get(), k.get()});
}

// A 1 x n row pair, the simplest call.
template <class T>
Case<T> row_case(const std::vector<T>& x, const std::vector<T>& y, T lower, T upper, T bin_value)
{
    return Case<T>{{1, static_cast<int>(x.size())}, x, {1, static_cast<int>(y.size())}, y,
                   lower, upper, bin_value};
}

template <class T>
jointbins_reference::Histograms<T> reference(const Case<T>& c)
{
    size_t n = 1;
    for (int d : c.dims1) n *= static_cast<size_t>(d);
    const std::vector<T> second(c.image2.begin(), c.image2.begin() + n);
    if constexpr (std::is_same<T, double>::value)
        return jointbins_reference::run_f64(c.image1, second, c.lower, c.upper, c.bin_value);
    else
        return jointbins_reference::run_f32(c.image1, second, c.lower, c.upper, c.bin_value);
}

using testing_support::same_bits;

// The three outputs of a successful call equal the model's, bit for bit.
template <class T>
::testing::AssertionResult matches(const jointbins_reference::Histograms<T>& expected,
                                   const standin::CallResult& result)
{
    if (!result.ok) return ::testing::AssertionFailure() << result.id << ": " << result.message;
    ::testing::AssertionResult joint = same_bits(result.outputs[0].values<T>(), expected.joint);
    if (!joint) return joint << " (joint histogram)";
    ::testing::AssertionResult first = same_bits(result.outputs[1].values<T>(), expected.first);
    if (!first) return first << " (output 2)";
    ::testing::AssertionResult second = same_bits(result.outputs[2].values<T>(), expected.second);
    if (!second) return second << " (output 3)";
    return ::testing::AssertionSuccess();
}

}  // namespace jointbins_test
