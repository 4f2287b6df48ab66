// Field inversion results: the plug-ins against the literal model, bit for
// bit, on seeded random fields at several host thread counts, and the
// worked examples; the same for the refinement, with fields whose inverse is
// known.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../../dispinvert/dispinvert_refine_core.h"
#include "reference/dispinvert_reference.h"
#include "reference/dispinvert_refine_reference.h"
#include "test_dispinvert_support.h"

namespace {

using dispinvert_test::count_of;
using dispinvert_test::HostTest;
using dispinvert_test::random_component;
using dispinvert_test::random_kernel;
using dispinvert_test::same_bits;
using dispinvert_test::tiny_kernel;
using dispinvert_test::values_of;

template <class T> struct Volume;
template <> struct Volume<double> {
    static constexpr const char* plugin = "dispinvert_vol_f64";
    static constexpr bool i_outermost = false;
};
template <> struct Volume<float> {
    static constexpr const char* plugin = "dispinvert_vol_f32";
    static constexpr bool i_outermost = true;
};

template <class T> class VolumeResults : public HostTest {};
using ElementTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(VolumeResults, ElementTypes);

const std::vector<std::vector<int>> volume_grids = {{5, 4, 3}, {1, 1, 1}, {6, 1, 2}, {3, 7, 2},
                                                    {4, 3, 9}};

// Host thread counts the random comparisons cycle through, one per case:
// the worker counts 1, 2, 3 and 7 and counts that must run as one worker
// (below 1, NaN) or as one per slab (far more than there are slabs).
const double host_thread_counts[] = {1, 2, 3, 7, 0.5, std::nan(""), 1e12, 2.9};

// Sets the host's thread count for one case and puts the default back.
struct HostThreads {
    explicit HostThreads(double count) { standin::set_thread_count(count); }
    ~HostThreads() { standin::set_thread_count(2); }
};
const std::vector<std::vector<int>> volume_kernels = {
    {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {5, 5, 5}, {2, 3, 4}, {4, 1, 5}, {5, 4, 3}, {3, 0, 3}};

TYPED_TEST(VolumeResults, MatchesTheModelBitForBitOnRandomFields)
{
    using T = TypeParam;
    std::mt19937 rng(20240611);
    int order_sensitive_cases = 0, count = 0;
    for (const auto& grid : volume_grids) {
        for (const auto& kdims : volume_kernels) {
            // Kernel values in [0.05, 1], in [-1, 1], and from 1e-10 to 1e-7.
            for (int kernel_kind : {0, 1, 2}) {
                const double threads = host_thread_counts[count++ % std::size(host_thread_counts)];
                const HostThreads host_threads(threads);
                SCOPED_TRACE(::testing::Message()
                             << "grid " << grid[0] << "x" << grid[1] << "x" << grid[2]
                             << " kernel " << kdims[0] << "x" << kdims[1] << "x" << kdims[2]
                             << " kind " << kernel_kind << ", " << threads << " threads");
                const int64_t n = count_of(grid);
                const auto bx = random_component<T>(rng, n, grid[0]);
                const auto by = random_component<T>(rng, n, grid[1]);
                const auto bz = random_component<T>(rng, n, grid[2]);
                const auto h = kernel_kind == 2
                                   ? tiny_kernel<T>(rng, count_of(kdims))
                                   : random_kernel<T>(rng, count_of(kdims), kernel_kind == 1);
                auto ax = standin::make_filled<T>(grid, bx);
                auto ay = standin::make_filled<T>(grid, by);
                auto az = standin::make_filled<T>(grid, bz);
                auto ak = standin::make_filled<T>(kdims, h);
                auto result = this->call(Volume<T>::plugin, 3,
                                         {ax.get(), ay.get(), az.get(), ak.get()});
                ASSERT_TRUE(result.ok) << result.message;

                const auto expected =
                    reference::invert_volume<T>(bx, by, bz, grid[0], grid[1], grid[2], h,
                                                kdims[0], kdims[1], kdims[2],
                                                Volume<T>::i_outermost);
                EXPECT_TRUE(same_bits(values_of<T>(result.outputs[0]), expected.fx));
                EXPECT_TRUE(same_bits(values_of<T>(result.outputs[1]), expected.fy));
                EXPECT_TRUE(same_bits(values_of<T>(result.outputs[2]), expected.fz));
                for (const auto& output : result.outputs) {
                    EXPECT_EQ(output.class_id(), standin::class_of<T>());
                    EXPECT_EQ(output.dims(), ax.dims());
                }

                const auto other_order = reference::invert_volume<T>(
                    bx, by, bz, grid[0], grid[1], grid[2], h, kdims[0], kdims[1], kdims[2],
                    !Volume<T>::i_outermost);
                if (!same_bits(other_order.fx, expected.fx)) ++order_sensitive_cases;
            }
        }
    }
    // Otherwise these fields could not tell the two kernel loop orders apart.
    EXPECT_GT(order_sensitive_cases, 0);
}

// Grids wide enough for whole footprints inside and rows whose length is a
// multiple of 4096 bytes, which the plug-ins store rotated while they splat;
// smooth fields with some samples thrown far, across the faces or onto
// integral positions. In double, last, layers of sums larger than the 16 MB
// pieces the sums come in, so that each layer is a piece of its own, with a
// kernel that spreads across the two.
TYPED_TEST(VolumeResults, MatchesTheModelOnLongRows)
{
    using T = TypeParam;
    std::mt19937 rng(4096);
    const int wide = 4096 / static_cast<int>(sizeof(T));
    struct Shape {
        std::vector<int> grid, kdims;
    };
    std::vector<Shape> cases = {{{wide, 5, 4}, {3, 3, 3}}, {{wide, 5, 4}, {4, 2, 5}},
                                {{37, 6, 5}, {3, 3, 3}},   {{37, 6, 5}, {4, 2, 5}}};
    if (sizeof(T) == 8) cases.push_back({{1024, 600, 2}, {1, 1, 2}});
    for (const Shape& c : cases) {
        const std::vector<int>& grid = c.grid;
        const std::vector<int>& kdims = c.kdims;
        SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1] << "x"
                                          << grid[2] << " kernel " << kdims[0] << "x"
                                          << kdims[1] << "x" << kdims[2]);
        const int64_t n = count_of(grid);
        std::vector<std::vector<T>> b(3);
        for (int a = 0; a < 3; ++a) b[a] = random_component<T>(rng, n, grid[a]);
        const auto h = random_kernel<T>(rng, count_of(kdims));
        auto ax = standin::make_filled<T>(grid, b[0]);
        auto ay = standin::make_filled<T>(grid, b[1]);
        auto az = standin::make_filled<T>(grid, b[2]);
        auto ak = standin::make_filled<T>(kdims, h);
        auto result =
            this->call(Volume<T>::plugin, 3, {ax.get(), ay.get(), az.get(), ak.get()});
        ASSERT_TRUE(result.ok) << result.message;
        const auto expected = reference::invert_volume<T>(
            b[0], b[1], b[2], grid[0], grid[1], grid[2], h, kdims[0], kdims[1], kdims[2],
            Volume<T>::i_outermost);
        EXPECT_TRUE(same_bits(values_of<T>(result.outputs[0]), expected.fx));
        EXPECT_TRUE(same_bits(values_of<T>(result.outputs[1]), expected.fy));
        EXPECT_TRUE(same_bits(values_of<T>(result.outputs[2]), expected.fz));
    }
}

class PlaneResults : public HostTest {};

TEST_F(PlaneResults, MatchesTheModelBitForBitOnRandomFields)
{
    std::mt19937 rng(7031);
    const std::vector<std::vector<int>> grids = {{6, 5}, {1, 1}, {9, 1}, {2, 8}, {5, 11}};
    const std::vector<std::vector<int>> kernels = {{1, 1}, {2, 2}, {3, 3}, {5, 5},
                                                   {2, 5}, {4, 1}, {0, 3}};
    int count = 0;
    for (const auto& grid : grids) {
        for (const auto& kdims : kernels) {
            for (bool signed_kernel : {false, true}) {
                const double threads = host_thread_counts[count++ % std::size(host_thread_counts)];
                const HostThreads host_threads(threads);
                SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1]
                                                  << " kernel " << kdims[0] << "x" << kdims[1]
                                                  << ", " << threads << " threads");
                const int64_t n = count_of(grid);
                const auto bx = random_component<double>(rng, n, grid[0]);
                const auto by = random_component<double>(rng, n, grid[1]);
                const auto h = random_kernel<double>(rng, count_of(kdims), signed_kernel);
                auto ax = standin::make_filled<double>(grid, bx);
                auto ay = standin::make_filled<double>(grid, by);
                auto ak = standin::make_filled<double>(kdims, h);
                auto result = call("dispinvert_plane_f64", 2, {ax.get(), ay.get(), ak.get()});
                ASSERT_TRUE(result.ok) << result.message;
                const auto expected =
                    reference::invert_plane(bx, by, grid[0], grid[1], h, kdims[0], kdims[1]);
                EXPECT_TRUE(same_bits(result.outputs[0].values<double>(), expected.fx));
                EXPECT_TRUE(same_bits(result.outputs[1].values<double>(), expected.fy));
                for (const auto& output : result.outputs) {
                    EXPECT_EQ(output.class_id(), mxDOUBLE_CLASS);
                    EXPECT_EQ(output.dims(), ax.dims());
                }
            }
        }
    }
}

TEST_F(PlaneResults, MatchesTheModelOnLongRows)
{
    std::mt19937 rng(512);
    for (const auto& grid : std::vector<std::vector<int>>{{512, 40}, {1024, 9}, {45, 30}}) {
        for (const auto& kdims : std::vector<std::vector<int>>{{5, 5}, {2, 7}}) {
            SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1]
                                              << " kernel " << kdims[0] << "x" << kdims[1]);
            const int64_t n = count_of(grid);
            const auto bx = random_component<double>(rng, n, grid[0]);
            const auto by = random_component<double>(rng, n, grid[1]);
            const auto h = random_kernel<double>(rng, count_of(kdims));
            auto ax = standin::make_filled<double>(grid, bx);
            auto ay = standin::make_filled<double>(grid, by);
            auto ak = standin::make_filled<double>(kdims, h);
            auto result = call("dispinvert_plane_f64", 2, {ax.get(), ay.get(), ak.get()});
            ASSERT_TRUE(result.ok) << result.message;
            const auto expected =
                reference::invert_plane(bx, by, grid[0], grid[1], h, kdims[0], kdims[1]);
            EXPECT_TRUE(same_bits(result.outputs[0].values<double>(), expected.fx));
            EXPECT_TRUE(same_bits(result.outputs[1].values<double>(), expected.fy));
        }
    }
}

// ---- Worked examples ------------------------------------------------------

template <class T>
standin::CallResult invert_volume(const std::vector<int>& grid, const std::vector<T>& bx,
                                  const std::vector<T>& by, const std::vector<T>& bz,
                                  const std::vector<int>& kdims, const std::vector<T>& h)
{
    auto ax = standin::make_filled<T>(grid, bx);
    auto ay = standin::make_filled<T>(grid, by);
    auto az = standin::make_filled<T>(grid, bz);
    auto ak = standin::make_filled<T>(kdims, h);
    const long before = standin::live_arrays();
    auto result = standin::call(Volume<T>::plugin, 3, {ax.get(), ay.get(), az.get(), ak.get()});
    EXPECT_EQ(standin::live_arrays(), before + static_cast<long>(result.outputs.size()));
    EXPECT_TRUE(result.ok) << result.message;
    return result;
}

// The value a voxel holds after normalisation: sum / (weight + epsilon).
template <class T> T normalised(double sum, double weight)
{
    return static_cast<T>(sum / (weight + static_cast<double>(static_cast<T>(1e-8))));
}

// In single precision the epsilon is the float nearest 1e-8, not the double:
// the two differ in the last place of this voxel's value.
TEST(VolumeResultsSingle, EpsilonIsTheFloatNearestTo1e8)
{
    const std::vector<float> bx = {5, -1, 0, 0}, zero(4, 0.0f);
    auto result = invert_volume<float>({4, 1, 1}, bx, zero, zero, {1, 1, 1}, {6.51062426e-10f});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(values_of<float>(result.outputs[0])[0], 0.0611265264f);
}

TYPED_TEST(VolumeResults, ZeroFieldGivesZeroEverywhere)
{
    using T = TypeParam;
    const std::vector<int> grid = {4, 3, 2};
    const std::vector<T> zero(24, T(0));
    auto result = invert_volume<T>(grid, zero, zero, zero, {1, 1, 1}, {T(1)});
    ASSERT_TRUE(result.ok);
    for (const auto& output : result.outputs) EXPECT_TRUE(same_bits(values_of<T>(output), zero));
}

TYPED_TEST(VolumeResults, UnitShiftAlongXLeavesTheLowFaceEmpty)
{
    using T = TypeParam;
    const std::vector<int> grid = {4, 3, 2};
    const std::vector<T> one(24, T(1)), zero(24, T(0));
    auto result = invert_volume<T>(grid, one, zero, zero, {1, 1, 1}, {T(1)});
    ASSERT_TRUE(result.ok);
    std::vector<T> fx(24);
    for (int n = 0; n < 24; ++n) fx[n] = n % 4 == 0 ? T(0) : normalised<T>(-1.0, 1.0);
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[0]), fx));
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[1]), zero));
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[2]), zero));
}

TYPED_TEST(VolumeResults, QuarterShiftSharesBetweenTwoNeighbours)
{
    using T = TypeParam;
    const std::vector<int> grid = {5, 2, 2};
    const std::vector<T> quarter(20, T(0.25)), zero(20, T(0));
    auto result = invert_volume<T>(grid, quarter, zero, zero, {1, 1, 1}, {T(1)});
    ASSERT_TRUE(result.ok);
    std::vector<T> fx(20);
    for (int n = 0; n < 20; ++n)
        fx[n] = n % 5 == 0 ? normalised<T>(-0.1875, 0.75) : normalised<T>(-0.25, 1.0);
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[0]), fx));
}

TYPED_TEST(VolumeResults, HalfStepBelowTheLowFaceKeepsOnlyTheUpperCorner)
{
    using T = TypeParam;
    // bx = -0.5 on the plane x = 0, no displacement elsewhere: the sample
    // of (0, y, z) gives 0.5 to x = -1 (dropped) and 0.5 to its own voxel.
    const std::vector<int> grid = {3, 2, 2};
    std::vector<T> bx(12, T(0)), zero(12, T(0));
    for (int n = 0; n < 12; n += 3) bx[n] = T(-0.5);
    auto result = invert_volume<T>(grid, bx, zero, zero, {1, 1, 1}, {T(1)});
    ASSERT_TRUE(result.ok);
    std::vector<T> fx(12, T(0));
    for (int n = 0; n < 12; n += 3) fx[n] = normalised<T>(0.5 * 0.5, 0.5);
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[0]), fx));
}

TYPED_TEST(VolumeResults, KernelReachFollowsItsExtent)
{
    using T = TypeParam;
    // A single voxel displaced by d along one axis comes back to itself only
    // through the kernel offset -d: odd extents reach -m..m, even -m..m-1.
    struct Case { int extent; int d; bool reaches; };
    const Case cases[] = {{3, 1, true},  {3, 0, true},  {3, -1, true}, {3, 2, false},
                          {2, 1, true},  {2, 0, true},  {2, -1, false}, {4, 2, true},
                          {4, -1, true}, {4, -2, false}, {1, 1, false}};
    for (int axis = 0; axis < 3; ++axis) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "axis " << axis << " extent " << c.extent
                                              << " d " << c.d);
            std::vector<std::vector<T>> b(3, std::vector<T>{T(0)});
            b[axis][0] = T(c.d);
            std::vector<int> kdims = {1, 1, 1};
            kdims[axis] = c.extent;
            auto result = invert_volume<T>({1, 1, 1}, b[0], b[1], b[2], kdims,
                                           std::vector<T>(c.extent, T(1)));
            ASSERT_TRUE(result.ok);
            const T expected = c.reaches ? normalised<T>(-c.d, 1.0) : T(0);
            EXPECT_TRUE(same_bits(values_of<T>(result.outputs[axis]), {expected}));
        }
    }
}

// A kernel with an extent 0 or with every element 0 spreads no share: every
// output is 0, as the model gives, and the call warns.
TYPED_TEST(VolumeResults, KernelWithAnExtentZeroGivesNoShare)
{
    using T = TypeParam;
    const std::string id = std::string(Volume<T>::plugin) + ":zeroKernel";
    const std::string effect =
        ": no share is spread and every output is 0; pass a kernel with a nonzero element, e.g. "
        "1 (no spreading)";
    const std::vector<T> b(8, T(0.3));
    standin::reset_warnings();
    auto result = invert_volume<T>({2, 2, 2}, b, b, b, {3, 0, 3}, {});
    ASSERT_TRUE(result.ok);
    for (const auto& output : result.outputs)
        EXPECT_TRUE(same_bits(values_of<T>(output), std::vector<T>(8, T(0))));
    EXPECT_TRUE(testing_support::warned(id, "H (input 4) is empty (3x0x3)" + effect));

    const std::vector<T> zeros(27, T(0));
    result = invert_volume<T>({2, 2, 2}, b, b, b, {3, 3, 3}, zeros);
    const auto model =
        reference::invert_volume<T>(b, b, b, 2, 2, 2, zeros, 3, 3, 3, Volume<T>::i_outermost);
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[0]), model.fx));
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[2]), model.fz));
    EXPECT_TRUE(testing_support::warned(id, "H (input 4) is all zero" + effect));

    // An empty grid has nothing to warn about.
    result = invert_volume<T>({0, 2, 2}, {}, {}, {}, {3, 3, 3}, zeros);
    EXPECT_TRUE(testing_support::warned(""));
}

TYPED_TEST(VolumeResults, EmptyGridGivesEmptyOutputsOfItsShape)
{
    using T = TypeParam;
    auto result = invert_volume<T>({0, 3, 2}, {}, {}, {}, {3, 3, 3},
                                   std::vector<T>(27, T(1)));
    ASSERT_TRUE(result.ok);
    for (const auto& output : result.outputs) {
        EXPECT_EQ(output.dims(), (std::vector<int>{0, 3, 2}));
        EXPECT_EQ(output.class_id(), standin::class_of<T>());
    }
}

TEST_F(PlaneResults, UnitShiftAndDiagonalHalfShift)
{
    {
        const std::vector<double> one(12, 1.0), zero(12, 0.0);
        auto ax = standin::make_filled<double>({4, 3}, one);
        auto ay = standin::make_filled<double>({4, 3}, zero);
        auto ak = standin::make_scalar<double>(1.0);
        auto result = call("dispinvert_plane_f64", 2, {ax.get(), ay.get(), ak.get()});
        ASSERT_TRUE(result.ok);
        std::vector<double> fx(12);
        for (int n = 0; n < 12; ++n) fx[n] = n % 4 == 0 ? 0.0 : -1.0 / (1.0 + 1e-8);
        EXPECT_TRUE(same_bits(result.outputs[0].values<double>(), fx));
        EXPECT_TRUE(same_bits(result.outputs[1].values<double>(), zero));
    }
    {
        // Only pixel (1, 1) moves, by (0.5, 0.5): a quarter of its value stays
        // and a quarter reaches each of (2, 1), (1, 2) and (2, 2), which also
        // keep their own samples (carrying 0) whole.
        std::vector<double> bx(16, 0.0), by(16, 0.0);
        bx[5] = by[5] = 0.5;
        auto ax = standin::make_filled<double>({4, 4}, bx);
        auto ay = standin::make_filled<double>({4, 4}, by);
        auto ak = standin::make_scalar<double>(1.0);
        auto result = call("dispinvert_plane_f64", 2, {ax.get(), ay.get(), ak.get()});
        ASSERT_TRUE(result.ok);
        std::vector<double> f(16, 0.0);
        f[5] = -0.125 / (0.25 + 1e-8);
        f[6] = f[9] = f[10] = -0.125 / (1.25 + 1e-8);
        EXPECT_TRUE(same_bits(result.outputs[0].values<double>(), f));
        EXPECT_TRUE(same_bits(result.outputs[1].values<double>(), f));
    }
}

TEST_F(PlaneResults, KernelWithAnExtentZeroAndEmptyGrid)
{
    const std::vector<double> b(6, 0.4);
    auto ax = standin::make_filled<double>({3, 2}, b);
    auto ak = standin::make_array(mxDOUBLE_CLASS, {0, 3});
    standin::reset_warnings();
    auto result = call("dispinvert_plane_f64", 2, {ax.get(), ax.get(), ak.get()});
    ASSERT_TRUE(result.ok);
    for (const auto& output : result.outputs)
        EXPECT_TRUE(same_bits(output.values<double>(), std::vector<double>(6, 0.0)));
    EXPECT_TRUE(testing_support::warned(
        "dispinvert_plane_f64:zeroKernel",
        "H (input 3) is empty (0x3): no share is spread and every output is 0; pass a kernel "
        "with a nonzero element, e.g. 1 (no spreading)"));

    auto empty = standin::make_array(mxDOUBLE_CLASS, {3, 0});
    auto one = standin::make_scalar<double>(1.0);
    auto none = call("dispinvert_plane_f64", 2, {empty.get(), empty.get(), one.get()});
    ASSERT_TRUE(none.ok);
    for (const auto& output : none.outputs) EXPECT_EQ(output.dims(), (std::vector<int>{3, 0}));
}

// ---- Refinement -------------------------------------------------------------

struct RefinePlugin {
    const char* name;
    std::vector<std::vector<int>> grids;
};
const RefinePlugin refine_volume_f64 = {
    "dispinvert_refine_vol_f64", {{5, 4, 3}, {1, 1, 1}, {6, 1, 2}, {3, 7, 2}, {4, 3, 9}, {0, 3, 2}}};
const RefinePlugin refine_volume_f32 = {"dispinvert_refine_vol_f32", refine_volume_f64.grids};
const RefinePlugin refine_plane_f64 = {"dispinvert_refine_plane_f64",
                                       {{6, 5}, {1, 1}, {9, 1}, {2, 8}, {17, 3}, {4, 0}}};

// Calls a refinement plug-in: b's components, then the start field's, steps
// and tol, with N (field only) or N + 2 outputs (residual and steps done).
template <class T>
standin::CallResult refine(const std::string& plugin, const std::vector<int>& grid,
                           const std::vector<std::vector<T>>& b,
                           const std::vector<std::vector<T>>& start, double steps, double tol,
                           bool with_residual = true)
{
    testing_support::Inputs in;
    for (const auto& component : b) in.add<T>(grid, component);
    for (const auto& component : start) in.add<T>(grid, component);
    in.add(standin::make_scalar<T>(static_cast<T>(steps)));
    in.add(standin::make_scalar<T>(static_cast<T>(tol)));
    const int axes = static_cast<int>(grid.size());
    return testing_support::call(plugin, with_residual ? axes + 2 : axes, in);
}

// The refinement's core called directly (the plug-ins take the fixed point;
// the Newton step is invert_field's): field, residual and outcome.
template <class T> struct CoreRefined {
    std::vector<std::vector<T>> field;
    std::vector<T> residual;
    regkern::RefinementOutcome outcome;
    std::string warning;  // notConverged's message, or empty
};

template <class T, int N>
CoreRefined<T> refine_in_core_n(const std::vector<int>& grid, const std::vector<std::vector<T>>& b,
                                const std::vector<std::vector<T>>& start, int steps, double tol,
                                int workers, regkern::RefinementMethod method)
{
    const size_t n = static_cast<size_t>(count_of(grid));
    CoreRefined<T> out;
    out.field.assign(N, std::vector<T>(n));
    out.residual.resize(n);
    regkern::FieldRefinement<T, N> job = {};
    for (int a = 0; a < N; ++a) {
        job.grid[a] = grid[a];
        job.backward[a] = b[a].data();
        job.start[a] = start[a].data();
        job.forward[a] = out.field[a].data();
    }
    job.residual = out.residual.data();
    job.steps = steps;
    job.tolerance = tol;
    job.method = method;
    out.outcome = regkern::refine_field<T, N>(job, workers, regkern::vector_path());
    regkern::GatewayWarnings warnings;
    if (n > 0) regkern::warn_refinement<T, N>(out.outcome, job, warnings);
    if (warnings.count > 0) out.warning = warnings.message[0];
    return out;
}

template <class T>
CoreRefined<T> refine_in_core(const std::vector<int>& grid, const std::vector<std::vector<T>>& b,
                              const std::vector<std::vector<T>>& start, int steps, double tol,
                              int workers, regkern::RefinementMethod method)
{
    return grid.size() == 3 ? refine_in_core_n<T, 3>(grid, b, start, steps, tol, workers, method)
                            : refine_in_core_n<T, 2>(grid, b, start, steps, tol, workers, method);
}

// notConverged's message names the first step after which the largest
// residual grew, with the residuals before and after it (three digits).
void expect_growth_named(const std::string& message, const std::vector<double>& largest)
{
    for (size_t k = 1; k < largest.size(); ++k) {
        if (!(largest[k] > largest[k - 1])) continue;
        char text[96];
        std::snprintf(text, sizeof text, "; it grew from %.3g to %.3g at step %d: ",
                      largest[k - 1], largest[k], static_cast<int>(k));
        EXPECT_NE(message.find(text), std::string::npos) << message << " (wanted " << text << ")";
        return;
    }
    EXPECT_NE(message.find("; pass more steps or a larger tolerance"), std::string::npos) << message;
}

// Random b (fractional, integral, far beyond the grid) and start fields,
// with NaN and infinities in both; steps 0 to 4, and a tolerance of 0 or
// exactly the largest residual of a step the model takes, so that the
// refinement stops there ("at most" the tolerance). The Newton step the same
// way, through the core. Empty grids raise no notConverged.
template <class T>
void expect_refinement_matches_model(const RefinePlugin& plugin)
{
    std::mt19937 rng(1811);
    const double thread_counts[] = {1, 2, 3, 7};
    int count = 0;
    for (const auto& grid : plugin.grids) {
        for (int trial = 0; trial < 4; ++trial, ++count) {
            const double threads = thread_counts[count % 4];
            const HostThreads host_threads(threads);
            const int axes = static_cast<int>(grid.size());
            const int64_t n = count_of(grid);
            std::vector<std::vector<T>> b, start;
            for (int a = 0; a < axes; ++a) {
                b.push_back(random_component<T>(rng, n, grid[a]));
                start.push_back(testing_support::uniform<T>(rng, n, -1.5, 1.5));
            }
            if (n > 3 && trial % 2 == 1) {
                b[0][n / 2] = std::numeric_limits<T>::quiet_NaN();
                b[axes - 1][n - 1] = std::numeric_limits<T>::infinity();
                start[1][1] = std::numeric_limits<T>::quiet_NaN();
                start[0][2] = -std::numeric_limits<T>::infinity();
            }
            const int steps = testing_support::pick(rng, 0, 4);
            double tol = 0;
            if (trial >= 2 && steps >= 2) {
                // (An exact field stops the model before `steps`.)
                const auto largest = reference::refine_field<T>(b, start, grid, steps, 0).largest;
                tol = largest[std::min<size_t>(steps - 1, largest.size() - 1)];
            }
            SCOPED_TRACE(::testing::Message() << plugin.name << " grid " << n << " points, trial "
                                              << trial << ", " << steps << " steps, tol " << tol
                                              << ", " << threads << " threads");
            const auto model = reference::refine_field<T>(b, start, grid, steps, tol);
            standin::reset_warnings();
            const bool with_residual = count % 3 != 2;
            auto result = refine<T>(plugin.name, grid, b, start, steps, tol, with_residual);
            ASSERT_TRUE(result.ok) << result.message;
            for (int a = 0; a < axes; ++a)
                EXPECT_TRUE(same_bits(values_of<T>(result.outputs[a]), model.field[a]));
            if (with_residual) {
                EXPECT_TRUE(same_bits(values_of<T>(result.outputs[axes]), model.residual));
                EXPECT_TRUE(same_bits(values_of<T>(result.outputs[axes + 1]),
                                      {static_cast<T>(model.steps_done)}));
            }
            // notConverged exactly when steps were asked for and not enough.
            const bool converged = model.largest.back() <= tol;
            EXPECT_EQ(standin::warning_count(), steps > 0 && !converged ? 1 : 0);
            if (standin::warning_count() == 1)
                expect_growth_named(standin::last_warning().message, model.largest);
            for (const auto& output : result.outputs) EXPECT_EQ(output.class_id(), standin::class_of<T>());

            const auto newton_model = reference::refine_field<T>(b, start, grid, steps, tol, true);
            const auto newton = refine_in_core<T>(grid, b, start, steps, tol, int(threads),
                                                  regkern::RefinementMethod::newton);
            for (int a = 0; a < axes; ++a)
                EXPECT_TRUE(same_bits(newton.field[a], newton_model.field[a])) << "Newton";
            EXPECT_TRUE(same_bits(newton.residual, newton_model.residual)) << "Newton";
            EXPECT_EQ(newton.outcome.steps_done, newton_model.steps_done);
            EXPECT_EQ(newton.outcome.max_residual, newton_model.largest.back());
            EXPECT_EQ(newton.warning.empty(), steps == 0 || newton_model.largest.back() <= tol);
            if (!newton.warning.empty()) expect_growth_named(newton.warning, newton_model.largest);
        }
    }
}

TEST(RefinementResults, MatchTheModelBitForBitAtEveryThreadCount)
{
    expect_refinement_matches_model<double>(refine_volume_f64);
    expect_refinement_matches_model<float>(refine_volume_f32);
    expect_refinement_matches_model<double>(refine_plane_f64);
}

// b a constant translation by dyadic fractions: one step from F = 0 gives
// the exact inverse, whose residual is 0, with either step; a point whose
// start is NaN keeps it and no other point sees it.
template <class T>
void expect_translation_inverted_in_one_step(const std::string& plugin, const std::vector<int>& grid)
{
    const int axes = static_cast<int>(grid.size());
    const int64_t n = count_of(grid);
    const double shift[3] = {0.25, -1.5, 0.75};
    std::vector<std::vector<T>> b, start(axes, std::vector<T>(n, T(0)));
    for (int a = 0; a < axes; ++a) b.emplace_back(n, static_cast<T>(shift[a]));
    start[0][3] = std::numeric_limits<T>::quiet_NaN();
    // In single precision a residual finite in double but beyond float's
    // range is not finite: the point keeps its value and does not hold the
    // refinement back.
    const bool huge = sizeof(T) == sizeof(float);
    if (huge) start[0][5] = start[1][5] = T(3e38);
    standin::reset_warnings();
    auto result = refine<T>(plugin, grid, b, start, 5, 0);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[axes + 1]), {T(1)}));
    for (int a = 0; a < axes; ++a) {
        std::vector<T> expected(n, static_cast<T>(-shift[a]));
        expected[3] = start[a][3];
        if (huge) expected[5] = start[a][5];
        EXPECT_TRUE(same_bits(values_of<T>(result.outputs[a]), expected)) << plugin;
    }
    std::vector<T> residual(n, T(0));
    residual[3] = std::numeric_limits<T>::quiet_NaN();
    if (huge) residual[5] = std::numeric_limits<T>::infinity();
    EXPECT_TRUE(same_bits(values_of<T>(result.outputs[axes]), residual)) << plugin;
    EXPECT_TRUE(testing_support::warned(""));

    // The Newton step: J = I (b is constant), so one step is the plain one.
    const auto newton = refine_in_core<T>(grid, b, start, 5, 0, 2, regkern::RefinementMethod::newton);
    EXPECT_EQ(newton.outcome.steps_done, 1);
    for (int a = 0; a < axes; ++a) {
        std::vector<T> expected(n, static_cast<T>(-shift[a]));
        expected[3] = start[a][3];
        if (huge) expected[5] = start[a][5];
        EXPECT_TRUE(same_bits(newton.field[a], expected)) << plugin << " Newton";
    }
    EXPECT_TRUE(same_bits(newton.residual, residual)) << plugin << " Newton";
}

TEST(RefinementResults, ConstantTranslationIsExactAfterOneStepOfEither)
{
    expect_translation_inverted_in_one_step<double>("dispinvert_refine_vol_f64", {6, 5, 4});
    expect_translation_inverted_in_one_step<float>("dispinvert_refine_vol_f32", {6, 5, 4});
    expect_translation_inverted_in_one_step<double>("dispinvert_refine_plane_f64", {7, 5});
}

// b(p) = A p + c with A small: the inverse is F(q) = -(I + A)^-1 (A q + c),
// and each fixed-point step shrinks the error by about |A| (0.12 here)
// where q + F(q) stays inside the grid; the Newton step gets there in one.
template <class T>
void expect_affine_inverse(const std::string& plugin, const std::vector<int>& grid, double bound)
{
    const int axes = static_cast<int>(grid.size());
    const double A[3][3] = {{0.05, -0.03, 0.02}, {0.04, 0.06, -0.02}, {-0.03, 0.02, 0.07}};
    const double c[3] = {0.4, -0.3, 0.25};
    // (I + A)^-1 by Cramer's rule on the leading axes x axes block.
    double m[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = (i < axes && j < axes ? A[i][j] : 0) + (i == j);
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    double inv[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            inv[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    const int64_t n = count_of(grid);
    std::vector<std::vector<T>> b(axes, std::vector<T>(n)), start(axes, std::vector<T>(n, T(0)));
    std::vector<std::array<double, 3>> exact(n);
    for (int64_t k = 0; k < n; ++k) {
        double p[3] = {double(k % grid[0]), double(k / grid[0] % grid[1]),
                       axes == 3 ? double(k / grid[0] / grid[1]) : 0.0};
        double v[3] = {0, 0, 0};
        for (int i = 0; i < axes; ++i) {
            v[i] = c[i];
            for (int j = 0; j < axes; ++j) v[i] += A[i][j] * p[j];
            b[i][k] = static_cast<T>(v[i]);
        }
        for (int i = 0; i < axes; ++i) {
            exact[k][i] = 0;
            for (int j = 0; j < axes; ++j) exact[k][i] -= inv[i][j] * v[j];
        }
    }
    standin::reset_warnings();
    auto result = refine<T>(plugin, grid, b, start, 12, 0);
    ASSERT_TRUE(result.ok) << result.message;
    standin::reset_warnings();  // a tolerance of 0 is rarely met exactly
    double worst = 0;
    for (int64_t k = 0; k < n; ++k) {
        bool inside = true;
        const double p[3] = {double(k % grid[0]), double(k / grid[0] % grid[1]),
                             double(k / grid[0] / grid[1])};
        for (int i = 0; i < axes; ++i) {
            const double q = p[i] + exact[k][i];
            inside = inside && q >= 0 && q <= grid[i] - 1;
        }
        if (!inside) continue;
        for (int i = 0; i < axes; ++i)
            worst = std::max(worst, std::fabs(double(values_of<T>(result.outputs[i])[k]) - exact[k][i]));
    }
    EXPECT_LE(worst, bound) << plugin;

    // Newton: the interpolant of an affine b is affine, J = I + A, so one
    // step from 0 is the inverse up to rounding at every point off the
    // grid's faces. A point on a far face starts on a cell without an upper
    // corner (derivative 0 along that axis) and one whose step leaves the
    // grid sees a clamped coordinate: they take up to two steps more.
    for (int steps : {1, 3}) {
        const auto newton =
            refine_in_core<T>(grid, b, start, steps, 0, steps, regkern::RefinementMethod::newton);
        worst = 0;
        for (int64_t k = 0; k < n; ++k) {
            bool inside = true;
            const int p[3] = {int(k % grid[0]), int(k / grid[0] % grid[1]), int(k / grid[0] / grid[1])};
            for (int i = 0; i < axes; ++i) {
                const double q = p[i] + exact[k][i];
                inside = inside && q >= 0 && q <= grid[i] - 1 &&
                         (steps > 1 || (p[i] > 0 && p[i] < grid[i] - 1));
            }
            if (!inside) continue;
            for (int i = 0; i < axes; ++i)
                worst = std::max(worst, std::fabs(double(newton.field[i][k]) - exact[k][i]));
        }
        EXPECT_LE(worst, bound) << plugin << " Newton, " << steps << " steps";
    }
}

TEST(RefinementResults, SmallAffineMapIsInvertedWithinTheRoundingError)
{
    expect_affine_inverse<double>("dispinvert_refine_vol_f64", {9, 8, 7}, 1e-9);
    expect_affine_inverse<float>("dispinvert_refine_vol_f32", {9, 8, 7}, 2e-6);
    expect_affine_inverse<double>("dispinvert_refine_plane_f64", {11, 9}, 1e-9);
}

// One pass over boxes of the grid (a chunked front end's), each given b on
// the box and a halo of ceil(max |F|) + 1 points clipped at the grid's
// faces, against the model's pass: F_1 and r_0 on every box, and the
// largest finite residual as the maximum over the boxes, for both steps.
// The cuts give boxes one point thick; F carries NaN, b NaN and Inf. A box
// given b without its halo is refused (haloTooThin), not read past.
template <class T, int N>
void expect_region_passes_match_the_whole_pass(const std::vector<int>& grid,
                                               const std::vector<std::vector<int>>& cuts,
                                               std::mt19937& rng)
{
    const int64_t n = count_of(grid);
    std::vector<std::vector<T>> b, start;
    double most = 0;
    for (int a = 0; a < N; ++a) {
        b.push_back(testing_support::uniform<T>(rng, n, -3.0, 3.0));
        start.push_back(testing_support::uniform<T>(rng, n, -2.5, 2.5));
    }
    b[0][n / 3] = std::numeric_limits<T>::quiet_NaN();
    b[N - 1][n / 2] = std::numeric_limits<T>::infinity();
    start[1][n / 4] = std::numeric_limits<T>::quiet_NaN();
    start[0][n / 5] = T(0.5) * T(grid[0]);  // lands past a box's face, inside the grid's
    for (const auto& component : start)
        for (T v : component)
            if (std::isfinite(v)) most = std::max(most, std::fabs(double(v)));
    const int halo = static_cast<int>(std::ceil(most)) + 1;
    for (auto method : {regkern::RefinementMethod::fixed_point, regkern::RefinementMethod::newton}) {
        const bool newton = method == regkern::RefinementMethod::newton;
        const auto next = reference::refine_field<T>(b, start, grid, 1, -1, newton);
        const auto measured = reference::refine_field<T>(b, start, grid, 0, -1, newton);
        std::vector<std::vector<T>> field(N, std::vector<T>(n));
        std::vector<T> residual(n);
        double largest = 0;
        int box_count = 0;
        // Every box of the cuts: [cuts[a][i], cuts[a][i + 1]) along axis a.
        std::array<size_t, N> box = {};
        for (;;) {
            regkern::FieldRefinement<T, N> job = {};
            std::array<int, N> lo, hi, b_lo, b_hi;
            for (int a = 0; a < N; ++a) {
                lo[a] = cuts[a][box[a]];
                hi[a] = cuts[a][box[a] + 1];
                b_lo[a] = std::max(0, lo[a] - halo);
                b_hi[a] = std::min(grid[a], hi[a] + halo);
                job.grid[a] = hi[a] - lo[a];
                job.origin[a] = lo[a];
                job.whole[a] = grid[a];
                job.backward_origin[a] = b_lo[a];
                job.backward_grid[a] = b_hi[a] - b_lo[a];
            }
            // Copies of the box's F and of b's sub-array; p walks the copy.
            const auto copy = [&](const std::vector<T>& whole, const std::array<int, N>& from,
                                  const std::array<int, N>& to) {
                std::vector<T> part;
                const int z_from = N == 3 ? from[2] : 0, z_to = N == 3 ? to[2] : 1;
                for (int z = z_from; z < z_to; ++z)
                    for (int y = from[1]; y < to[1]; ++y)
                        for (int x = from[0]; x < to[0]; ++x)
                            part.push_back(whole[(int64_t(z) * grid[1] + y) * grid[0] + x]);
                return part;
            };
            std::vector<std::vector<T>> b_part, f_part, f_next;
            for (int a = 0; a < N; ++a) {
                b_part.push_back(copy(b[a], b_lo, b_hi));
                f_part.push_back(copy(start[a], lo, hi));
                f_next.emplace_back(f_part[a].size());
            }
            std::vector<T> r_part(f_part[0].size());
            for (int a = 0; a < N; ++a) {
                job.backward[a] = b_part[a].data();
                job.start[a] = f_part[a].data();
                job.forward[a] = f_next[a].data();
            }
            job.residual = r_part.data();
            job.method = method;
            const double threads = 1 + box_count % 3;
            largest = std::max(largest, regkern::run_refinement_region_pass<T, N>(job, threads));
            size_t k = 0;
            const int z_lo = N == 3 ? lo[2] : 0, z_hi = N == 3 ? hi[2] : 1;
            for (int z = z_lo; z < z_hi; ++z)
                for (int y = lo[1]; y < hi[1]; ++y)
                    for (int x = lo[0]; x < hi[0]; ++x, ++k) {
                        const int64_t e = (int64_t(z) * grid[1] + y) * grid[0] + x;
                        for (int a = 0; a < N; ++a) field[a][e] = f_next[a][k];
                        residual[e] = r_part[k];
                    }
            ++box_count;
            int a = 0;
            while (a < N && ++box[a] + 1 == cuts[a].size()) box[a++] = 0;
            if (a == N) break;
        }
        SCOPED_TRACE(::testing::Message() << N << "-D, " << sizeof(T) << "-byte, "
                                          << (newton ? "Newton" : "fixed point"));
        for (int a = 0; a < N; ++a) EXPECT_TRUE(same_bits(field[a], next.field[a]));
        EXPECT_TRUE(same_bits(residual, measured.residual));
        EXPECT_EQ(largest, measured.largest[0]);

        // The last box given b on the box alone: a point moving out of it is refused.
        regkern::FieldRefinement<T, N> job = {};
        std::vector<std::vector<T>> f_next(N, std::vector<T>(n));
        for (int a = 0; a < N; ++a) {
            job.grid[a] = grid[a];
            job.whole[a] = grid[a] + 2;
            job.origin[a] = 1;
            job.backward_origin[a] = 1;
            job.backward_grid[a] = grid[a];
            job.backward[a] = b[a].data();
            job.start[a] = start[a].data();
            job.forward[a] = f_next[a].data();
        }
        job.method = method;
        try {
            regkern::run_refinement_region_pass<T, N>(job, 2);
            ADD_FAILURE() << "a read past the sub-array was not refused";
        } catch (const regkern::Failure& failure) {
            EXPECT_STREQ(failure.condition, "haloTooThin");
            EXPECT_NE(failure.message.find("reads b outside the sub-array given"), std::string::npos)
                << failure.message;
        }
        job.backward_origin[0] = 2;  // the sub-array misses the box's first layer
        try {
            regkern::run_refinement_region_pass<T, N>(job, 1);
            ADD_FAILURE() << "a sub-array missing part of the box was not refused";
        } catch (const regkern::Failure& failure) {
            EXPECT_STREQ(failure.condition, "badRegion");
        }
    }
}

TEST(RefinementResults, BoxPassesGiveTheWholePassBitForBit)
{
    std::mt19937 rng(2611);
    expect_region_passes_match_the_whole_pass<double, 3>(
        {11, 9, 8}, {{0, 1, 5, 6, 11}, {0, 4, 9}, {0, 3, 4, 8}}, rng);
    expect_region_passes_match_the_whole_pass<float, 3>(
        {11, 9, 8}, {{0, 6, 7, 11}, {0, 1, 9}, {0, 5, 8}}, rng);
    expect_region_passes_match_the_whole_pass<double, 2>({13, 10}, {{0, 1, 7, 13}, {0, 5, 6, 10}},
                                                         rng);
}

// b = 1.5 sin(x) along x folds p + b(p) back on itself: the residual grows
// from step to step, and the call says so instead of failing.
TEST(RefinementResults, FoldingFieldWarnsThatTheResidualGrew)
{
    const std::vector<int> grid = {24, 3, 2};
    const int64_t n = count_of(grid);
    std::vector<std::vector<double>> b(3, std::vector<double>(n, 0.0)), start = b;
    for (int64_t k = 0; k < n; ++k) b[0][k] = 1.5 * std::sin(double(k % grid[0]));
    standin::reset_warnings();
    auto result = refine<double>("dispinvert_refine_vol_f64", grid, b, start, 8, 1e-6);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(standin::warning_count(), 1);
    const standin::Warning warning = standin::last_warning();
    EXPECT_EQ(warning.id, "dispinvert_refine_vol_f64:notConverged");
    EXPECT_EQ(warning.message.rfind("after 8 steps the largest residual |F(q) + b(q + F(q))| is ", 0), 0u)
        << warning.message;
    EXPECT_NE(warning.message.find(" voxel, above tol (input 8) = 1e-06; it grew from "),
              std::string::npos) << warning.message;
    EXPECT_NE(warning.message.find("the step diverges where b folds"), std::string::npos);
    standin::reset_warnings();
}

}  // namespace
