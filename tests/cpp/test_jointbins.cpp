// jointbins_f64 / jointbins_f32 through the stand-in host: bit-for-bit
// agreement with the literal model, the worked example, and the invariants of
// in-range data.
#include <algorithm>
#include <cmath>
#include <random>

#include "test_jointbins_support.h"

namespace {

using jointbins_test::Case;
using jointbins_test::call;
using jointbins_test::matches;
using jointbins_test::reference;
using jointbins_test::row_case;

template <class T>
class Jointbins : public ::testing::Test {};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(Jointbins, Precisions);

// Another shape with the same element count n (sometimes with extra
// elements, which are ignored).
std::vector<int> other_shape(std::mt19937& rng, const std::vector<int>& dims, int n)
{
    switch (rng() % 4) {
    case 0: return {n};
    case 1: return {1, n};
    case 2: { std::vector<int> r(dims.rbegin(), dims.rend()); r.push_back(1); return r; }
    default: return {n + 1 + static_cast<int>(rng() % 5), 1};
    }
}

template <class T>
Case<T> random_case(std::mt19937& rng, int index)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Case<T> c;
    const int ndims = 1 + index % 4;
    int n = 1;
    for (int d = 0; d < ndims; ++d) {
        c.dims1.push_back(1 + static_cast<int>(rng() % 7));
        n *= c.dims1.back();
    }
    c.dims2 = other_shape(rng, c.dims1, n);

    static const double bin_values[] = {1, 2, 3, 4.9, 8, 16.25, 32, 64};
    const double k = index % 3 == 0 ? 1 + 69 * unit(rng) : bin_values[rng() % 8];
    const double lower = -50 + 100 * unit(rng);
    const double width = (0.5 + 100 * unit(rng)) * (rng() % 4 == 0 ? -1 : 1);
    c.lower = static_cast<T>(lower);
    c.upper = static_cast<T>(lower + width);
    c.bin_value = static_cast<T>(k);

    auto sample = [&]() {
        const double u = unit(rng);
        if (u < 0.65) return lower + width * unit(rng);                     // inside
        if (u < 0.85) return lower + width * (1.6 * unit(rng) - 0.3);       // around the range
        if (u < 0.95) return lower + width * std::floor(k * unit(rng)) / k;  // on a bin edge
        return u < 0.975 ? lower : lower + width;                            // a bound itself
    };
    int n2 = 1;
    for (int d : c.dims2) n2 *= d;
    for (int i = 0; i < n; ++i) c.image1.push_back(static_cast<T>(sample()));
    for (int i = 0; i < n2; ++i) c.image2.push_back(static_cast<T>(sample()));
    return c;
}

TYPED_TEST(Jointbins, MatchesModelOnRandomCases)
{
    std::mt19937 rng(20240611);
    for (int index = 0; index < 300; ++index) {
        const Case<TypeParam> c = random_case<TypeParam>(rng, index);
        const long live = standin::live_arrays();
        {
            standin::CallResult result = call(c);
            ASSERT_TRUE(matches(reference(c), result)) << "case " << index;
        }
        EXPECT_EQ(standin::live_arrays(), live);
    }
}

// Many samples into few cells: in single precision every rounded addition
// shows, so the sample order and the order within a sample must be exact.
TYPED_TEST(Jointbins, MatchesModelOnLargeImage)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> value(10.0, 4.0);
    Case<TypeParam> c{{96, 80, 3}, {}, {240, 96}, {}, 0, 20, 16};
    for (int i = 0; i < 96 * 80 * 3; ++i) {
        c.image1.push_back(static_cast<TypeParam>(value(rng)));
        c.image2.push_back(static_cast<TypeParam>(0.7 * c.image1.back() + value(rng) * 0.3));
    }
    c.image2.resize(240 * 96, 0);
    EXPECT_TRUE(matches(reference(c), call(c)));
}

TYPED_TEST(Jointbins, WorkedExample)
{
    using T = TypeParam;
    standin::CallResult result = call(row_case<T>({1, 6.5}, {3, 8}, 0, 8, 4));
    ASSERT_TRUE(result.ok) << result.message;
    std::vector<T> joint(16, 0);
    joint[4] = joint[5] = joint[8] = joint[9] = T(0.125);
    joint[15] = T(0.5);
    EXPECT_EQ(result.outputs[0].values<T>(), joint);
    EXPECT_EQ(result.outputs[1].values<T>(), (std::vector<T>{0.25, 0.25, 0, 0.5}));
    EXPECT_EQ(result.outputs[2].values<T>(), (std::vector<T>{0, 0.25, 0.25, 0.5}));
}

TYPED_TEST(Jointbins, OutputShapesAndClass)
{
    using T = TypeParam;
    standin::CallResult result = call(row_case<T>({1, 2, 3}, {3, 2, 1}, 0, 4, T(4.9)));
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.outputs[0].dims(), (std::vector<int>{4, 4}));
    EXPECT_EQ(result.outputs[1].dims(), (std::vector<int>{4, 1}));
    EXPECT_EQ(result.outputs[2].dims(), (std::vector<int>{4, 1}));
    for (const standin::Array& out : result.outputs)
        EXPECT_EQ(out.class_id(), standin::class_of<T>());
}

// The scale is K / (U - L): with K = 4.9 and U - L = 9.8 a value of 1 sits at
// position 0.5, halfway between bins 0 and 1. The value 7 with K = 4 over
// [0, 8] sits at 3.5, wholly in the last bin; -1 wholly in bin 0.
TYPED_TEST(Jointbins, ScaleUsesTheBinValueAndEdgesTakeWholeSamples)
{
    using T = TypeParam;
    standin::CallResult fractional = call(row_case<T>({1}, {1}, 0, T(9.8), T(4.9)));
    ASSERT_TRUE(fractional.ok);
    EXPECT_EQ(fractional.outputs[1].values<T>(), (std::vector<T>{0.5, 0.5, 0, 0}));

    standin::CallResult edges = call(row_case<T>({7, -1}, {-1, 7}, 0, 8, 4));
    ASSERT_TRUE(edges.ok);
    EXPECT_EQ(edges.outputs[1].values<T>(), (std::vector<T>{0.5, 0, 0, 0.5}));
    EXPECT_EQ(edges.outputs[2].values<T>(), (std::vector<T>{0.5, 0, 0, 0.5}));
    std::vector<T> joint(16, 0);
    joint[3 + 0 * 4] = joint[0 + 3 * 4] = T(0.5);
    EXPECT_EQ(edges.outputs[0].values<T>(), joint);
}

// U < L runs the bins from L down towards U.
TYPED_TEST(Jointbins, ReversedRange)
{
    using T = TypeParam;
    standin::CallResult result = call(row_case<T>({9, 7, -3}, {8, 6, 0}, 8, 0, 4));
    ASSERT_TRUE(result.ok);
    // positions: -0.5, 0.5, 5.5 and 0, 1, 4
    const T third = static_cast<T>(1.0 / 3.0);
    const T sixth = static_cast<T>(static_cast<double>(T(0.5)) / static_cast<double>(T(3)));
    EXPECT_EQ(result.outputs[1].values<T>(), (std::vector<T>{T(1.5) / T(3), sixth, 0, third}));
    EXPECT_EQ(result.outputs[2].values<T>(), (std::vector<T>{third, third, 0, third}));
}

TYPED_TEST(Jointbins, SingleBinHoldsEverything)
{
    using T = TypeParam;
    standin::CallResult result = call(row_case<T>({-5, 0.3, 0.9, 12}, {0.5, 0.5, 3, -2}, 0, 1, 1));
    ASSERT_TRUE(result.ok);
    for (const standin::Array& out : result.outputs) {
        ASSERT_EQ(out.numel(), 1u);
        EXPECT_NEAR(out.values<T>()[0], 1.0, 1e-6);
    }
}

// Different shapes with one element count pair up in column-major order.
TYPED_TEST(Jointbins, ShapesOfTheImagesDoNotMatter)
{
    using T = TypeParam;
    const std::vector<T> x{0.5, 1.5, 2.5, 3.5, 0.2, 2.9}, y{3.1, 0.1, 1.7, 2.2, 2.8, 0.4};
    standin::CallResult rows = call(row_case<T>(x, y, 0, 4, 4));
    standin::CallResult shaped = call(Case<T>{{2, 3}, x, {3, 1, 2}, y, 0, 4, 4});
    ASSERT_TRUE(rows.ok && shaped.ok);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(rows.outputs[k].values<T>(), shaped.outputs[k].values<T>());
}

// On in-range data each output sums to 1 and the joint histogram's marginals
// are outputs 2 and 3, up to rounding.
TYPED_TEST(Jointbins, InRangeInvariants)
{
    using T = TypeParam;
    const double tolerance = std::is_same<T, float>::value ? 2e-5 : 1e-12;
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 20; ++trial) {
        const int nb = 1 + static_cast<int>(rng() % 40);
        const double lower = -20 + 40 * unit(rng), width = 1 + 50 * unit(rng);
        Case<T> c{{17, 23}, {}, {391}, {}, T(lower), T(lower + width), T(nb + 0.5 * unit(rng))};
        for (int i = 0; i < 391; ++i) {
            c.image1.push_back(static_cast<T>(lower + width * unit(rng)));
            c.image2.push_back(static_cast<T>(lower + width * unit(rng) * unit(rng)));
        }
        standin::CallResult result = call(c);
        ASSERT_TRUE(result.ok);
        const std::vector<T> joint = result.outputs[0].values<T>();
        const std::vector<T> first = result.outputs[1].values<T>();
        const std::vector<T> second = result.outputs[2].values<T>();
        double total_joint = 0, total_first = 0, total_second = 0;
        for (int i = 0; i < nb; ++i) {
            double row = 0, column = 0;
            for (int j = 0; j < nb; ++j) {
                row += joint[i + j * nb];
                column += joint[j + i * nb];
            }
            EXPECT_NEAR(row, first[i], tolerance);
            EXPECT_NEAR(column, second[i], tolerance);
            total_joint += row;
            total_first += first[i];
            total_second += second[i];
        }
        EXPECT_NEAR(total_joint, 1.0, tolerance);
        EXPECT_NEAR(total_first, 1.0, tolerance);
        EXPECT_NEAR(total_second, 1.0, tolerance);
    }
}

}  // namespace

namespace {

// Single precision divides by N rounded to float: with N = 2^24 + 1 that is
// 2^24. Every sample sits at position 0.5 of the single bin; the float sums
// stall at 2^23 (outputs 2 and 3, fed in halves) and 2^22 (the joint cell, fed
// in quarters), so the quotients are exactly 0.5 and 0.25. Dividing by the
// unrounded N would give the next float below each.
TEST(JointbinsF32, DividesByCountRoundedToFloat)
{
    const int n = (1 << 24) + 1;
    standin::Array image = standin::make_array(mxSINGLE_CLASS, {n, 1});
    std::fill(image.data<float>(), image.data<float>() + n, 0.5f);
    standin::Array lower = standin::make_scalar<float>(0), upper = standin::make_scalar<float>(1);
    standin::Array bins = standin::make_scalar<float>(1);
    standin::CallResult result = standin::call(
        "jointbins_f32", 3, {image.get(), image.get(), lower.get(), upper.get(), bins.get()});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.outputs[0].values<float>(), std::vector<float>{0.25f});
    EXPECT_EQ(result.outputs[1].values<float>(), std::vector<float>{0.5f});
    EXPECT_EQ(result.outputs[2].values<float>(), std::vector<float>{0.5f});
}

}  // namespace
