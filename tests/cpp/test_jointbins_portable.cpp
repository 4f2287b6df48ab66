// The joint-histogram accumulation with the SSE2 pair path left out, as it is
// built where there is no SSE2: every sample then goes through the portable
// per-sample code, which must give the model's bits on its own.
#define REGKERN_JOINTBINS_SCALAR 1
#include "../../jointbins/jointbins.h"

#ifdef REGKERN_JOINTBINS_PAIRS
#error "the pair path should be left out here"
#endif

#include <cmath>
#include <limits>
#include <random>

#include "test_jointbins_support.h"

namespace {

template <class T>
class JointbinsPortable : public ::testing::Test {};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(JointbinsPortable, Precisions);

// Runs the accumulation on zero-filled sums and compares with the model.
template <class T>
::testing::AssertionResult matches_model(const std::vector<T>& x, const std::vector<T>& y,
                                         T lower, T upper, T bin_value)
{
    const int32_t nb = static_cast<int32_t>(bin_value);
    jointbins_reference::Histograms<T> sums;
    sums.joint.assign(static_cast<size_t>(nb) * nb, 0);
    sums.first.assign(nb, 0);
    sums.second.assign(nb, 0);
    const regkern::JointbinsInputs<T> in{x.data(), y.data(), static_cast<int32_t>(x.size()),
                                         lower, upper, bin_value, nb};
    regkern::jointbins_accumulate(in, regkern::JointbinsOutputs<T>{
                                          sums.joint.data(), sums.first.data(), sums.second.data()});
    const jointbins_reference::Histograms<T> expected =
        jointbins_test::reference(jointbins_test::row_case<T>(x, y, lower, upper, bin_value));
    ::testing::AssertionResult joint = jointbins_test::same_bits(expected.joint, sums.joint);
    if (!joint) return joint << " (joint histogram)";
    ::testing::AssertionResult first = jointbins_test::same_bits(expected.first, sums.first);
    if (!first) return first << " (output 2)";
    return jointbins_test::same_bits(expected.second, sums.second) << " (output 3)";
}

TYPED_TEST(JointbinsPortable, MatchesModel)
{
    using T = TypeParam;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 20; ++trial) {
        const double bins = trial % 2 ? 64 : 1 + 40 * unit(rng);
        std::vector<T> x, y;
        for (int i = 0; i < 1001; ++i) {
            x.push_back(static_cast<T>(1.6 * unit(rng) - 0.3));
            y.push_back(static_cast<T>(unit(rng) < 0.1 ? 1.0 : unit(rng)));
        }
        EXPECT_TRUE(matches_model<T>(x, y, 0, trial % 3 ? 1 : -1, static_cast<T>(bins)))
            << "trial " << trial;
    }
    const T inf = std::numeric_limits<T>::infinity();
    const std::vector<T> kinds = {T(2.3), T(0),    T(-0.0), T(-0.25), T(7), T(7.5),
                                  T(9.5), T(-3.5), T(1e30), -inf,     std::numeric_limits<T>::quiet_NaN()};
    std::vector<T> x, y;
    for (size_t i = 0; i < kinds.size(); ++i)
        for (size_t j = 0; j < kinds.size(); ++j) {
            x.push_back(kinds[i]);
            y.push_back(kinds[j]);
        }
    EXPECT_TRUE(matches_model<T>(x, y, 0, 8, 8));
    EXPECT_TRUE(matches_model<T>(x, y, 0, -8, 8));
}

}  // namespace
