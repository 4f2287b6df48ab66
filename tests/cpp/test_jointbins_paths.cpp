// The joint-histogram accumulation on every vector path this processor runs
// (the portable per-sample code, as where there is no SSE2, and the SSE2
// pairs): each must give the model's bits on its own.
#include "../../jointbins/jointbins_core.h"

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
::testing::AssertionResult matches_model_on(regkern::VectorPath path, const std::vector<T>& x,
                                            const std::vector<T>& y, T lower, T upper,
                                            T bin_value)
{
    const int32_t nb = static_cast<int32_t>(bin_value);
    jointbins_reference::Histograms<T> sums;
    sums.joint.assign(static_cast<size_t>(nb) * nb, 0);
    sums.first.assign(nb, 0);
    sums.second.assign(nb, 0);
    regkern::JointbinsPlan<T> plan = {};
    plan.in = regkern::JointbinsInputs<T>{x.data(), y.data(), static_cast<int32_t>(x.size()),
                                          lower, upper, bin_value, nb};
    regkern::vector_path_limit() = path;
    regkern::GatewayWarnings warnings;
    regkern::run_jointbins(plan, sums.joint.data(), sums.first.data(), sums.second.data(), 1,
                           warnings);
    regkern::vector_path_limit() = regkern::VectorPath::avx512;
    const jointbins_reference::Histograms<T> expected =
        jointbins_test::reference(jointbins_test::row_case<T>(x, y, lower, upper, bin_value));
    ::testing::AssertionResult joint = jointbins_test::same_bits(sums.joint, expected.joint);
    if (!joint) return joint << " (joint histogram)";
    ::testing::AssertionResult first = jointbins_test::same_bits(sums.first, expected.first);
    if (!first) return first << " (output 2)";
    return jointbins_test::same_bits(sums.second, expected.second) << " (output 3)";
}

template <class T>
::testing::AssertionResult matches_model(const std::vector<T>& x, const std::vector<T>& y,
                                         T lower, T upper, T bin_value)
{
    for (int p = 0; p <= static_cast<int>(regkern::fastest_vector_path()) &&
                    p <= static_cast<int>(regkern::VectorPath::sse2); ++p) {
        const auto path = static_cast<regkern::VectorPath>(p);
        ::testing::AssertionResult result = matches_model_on(path, x, y, lower, upper, bin_value);
        if (!result) return result << " on the " << regkern::vector_path_name(path) << " path";
    }
    return ::testing::AssertionSuccess();
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

// The outside samples are counted where they are clamped, on every path:
// the warning comes at more than half of the finite samples, a sample equal
// to upper is inside, and a NaN counts in neither share.
TYPED_TEST(JointbinsPortable, CountsOutsideSamplesOnEveryPath)
{
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    for (int outside = 49; outside <= 51; ++outside) {
        // 101 finite samples of image2 in [0, 1] (every third equal to 1),
        // `outside` of them moved out in a scattered order, plus two NaN
        std::vector<T> x, y;
        for (int i = 0; i < 101; ++i) {
            x.push_back(static_cast<T>(0.5));
            y.push_back(i % 3 ? static_cast<T>(i / 101.0) : T(1));
        }
        for (int k = 0; k < outside; ++k) y[(k * 37) % 101] = k % 2 ? T(-2) : T(255);
        x.push_back(nan);
        y.push_back(nan);
        x.insert(x.begin() + 40, T(0.5));
        y.insert(y.begin() + 40, nan);
        for (int p = 0; p <= static_cast<int>(regkern::fastest_vector_path()) &&
                        p <= static_cast<int>(regkern::VectorPath::sse2); ++p) {
            regkern::JointbinsPlan<T> plan = {};
            plan.in = regkern::JointbinsInputs<T>{x.data(), y.data(), static_cast<int32_t>(x.size()),
                                                  0, 1, 16, 16};
            std::vector<T> joint(256), first(16), second(16);
            regkern::GatewayWarnings warnings;
            regkern::vector_path_limit() = static_cast<regkern::VectorPath>(p);
            regkern::run_jointbins(plan, joint.data(), first.data(), second.data(), 1, warnings);
            regkern::vector_path_limit() = regkern::VectorPath::avx512;
            EXPECT_EQ(warnings.count, outside > 50 ? 1 : 0) << outside << " outside, path " << p;
            if (warnings.count == 1) {
                EXPECT_STREQ(warnings.condition[0], "outOfBounds");
                EXPECT_EQ(std::string(warnings.message[0]).rfind("image2 (input 2) has 50 %", 0), 0u)
                    << warnings.message[0];
            }
        }
    }
}

}  // namespace
