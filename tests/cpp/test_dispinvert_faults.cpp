// Field inversion on hostile inputs: splat points that are not finite or lie
// beyond the int32 range, scratch that cannot be allocated and worker
// threads that cannot be started.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "address_limit.h"
#include "reference/dispinvert_reference.h"
#include "test_dispinvert_support.h"

namespace {

using dispinvert_test::count_of;
using dispinvert_test::HostTest;
using dispinvert_test::random_component;
using dispinvert_test::random_kernel;
using dispinvert_test::same_bits;
using dispinvert_test::values_of;

// Splat point coordinates that no share may come from: not finite, with a
// floor beyond int32, or with a floor at the int32 limits, where adding a
// kernel offset would leave the int32 range.
const double hostile_points[] = {
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    1e30,
    -1e30,
    2147483647.5,    // floor INT32_MAX
    2147483648.0,    // floor one past INT32_MAX
    -2147483648.0,   // floor INT32_MIN
    -2147483648.5,   // floor one below INT32_MIN
    -2147483904.0,   // a float below INT32_MIN
    2147483520.0,    // the largest float below 2^31
};

// Runs plugin on a random field of the given grid twice: once with hostile
// splat points at a few grid points (along `axis`), once with those grid
// points displaced harmlessly far outside the grid. Both must agree, and
// must match the model.
template <class T>
void expect_hostile_points_contribute_nothing(const std::string& plugin,
                                              const std::vector<int>& grid, int axis,
                                              bool i_outermost)
{
    const int dims = static_cast<int>(grid.size());
    const int64_t n = count_of(grid);
    std::mt19937 rng(1234 + axis);
    std::vector<std::vector<T>> hostile(dims), harmless(dims);
    for (int a = 0; a < dims; ++a) hostile[a] = random_component<T>(rng, n, grid[a]);
    harmless = hostile;
    const std::vector<int> kdims(dims, 5);
    const auto h = random_kernel<T>(rng, count_of(kdims));

    const int step = static_cast<int>(n / std::size(hostile_points));
    int64_t p = 0;
    for (double q : hostile_points) {
        // The coordinate of grid point p along `axis`.
        int64_t coordinate = p;
        for (int a = 0; a < axis; ++a) coordinate /= grid[a];
        coordinate %= grid[axis];
        hostile[axis][p] = static_cast<T>(q - static_cast<double>(coordinate));
        for (int a = 0; a < dims; ++a) harmless[a][p] = T(0);
        harmless[0][p] = T(1000);
        p += step;
    }

    auto run = [&](const std::vector<std::vector<T>>& field) {
        std::vector<standin::Array> arrays;
        for (int a = 0; a < dims; ++a) arrays.push_back(standin::make_filled<T>(grid, field[a]));
        arrays.push_back(standin::make_filled<T>(kdims, h));
        std::vector<const mxArray*> inputs;
        for (const auto& array : arrays) inputs.push_back(array.get());
        auto result = standin::call(plugin, dims, inputs);
        EXPECT_TRUE(result.ok) << result.message;
        std::vector<std::vector<T>> outputs;
        for (const auto& output : result.outputs) outputs.push_back(values_of<T>(output));
        return outputs;
    };
    const auto with_hostile = run(hostile);
    const auto with_harmless = run(harmless);
    ASSERT_EQ(with_hostile.size(), static_cast<size_t>(dims));
    for (int a = 0; a < dims; ++a) {
        EXPECT_TRUE(same_bits(with_hostile[a], with_harmless[a])) << "component " << a;
        for (T v : with_hostile[a]) ASSERT_TRUE(std::isfinite(v));
    }

    if (dims == 3) {
        const auto model = reference::invert_volume<T>(hostile[0], hostile[1], hostile[2],
                                                       grid[0], grid[1], grid[2], h, 5, 5, 5,
                                                       i_outermost);
        EXPECT_TRUE(same_bits(with_hostile[0], model.fx));
        EXPECT_TRUE(same_bits(with_hostile[1], model.fy));
        EXPECT_TRUE(same_bits(with_hostile[2], model.fz));
    }
}

class HostileSplatPoints : public HostTest {};

TEST_F(HostileSplatPoints, ContributeNothingOnEveryAxis)
{
    for (int axis = 0; axis < 3; ++axis) {
        SCOPED_TRACE(::testing::Message() << "axis " << axis);
        expect_hostile_points_contribute_nothing<double>("dispinvert_vol_f64",
                                                         {6, 5, 4}, axis, false);
        expect_hostile_points_contribute_nothing<float>("dispinvert_vol_f32", {6, 5, 4},
                                                        axis, true);
    }
    for (int axis = 0; axis < 2; ++axis) {
        SCOPED_TRACE(::testing::Message() << "plane axis " << axis);
        expect_hostile_points_contribute_nothing<double>("dispinvert_plane_f64", {7, 6},
                                                         axis, false);
    }
}

// ---- Failed weight-sum allocation ----------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DISPINVERT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define DISPINVERT_SANITIZED 1
#endif
#endif

#ifndef DISPINVERT_SANITIZED
// In a child process: builds a grid whose outputs still fit under an
// address-space limit but whose weight sum does not, calls the plug-in and
// exits 0 when it failed cleanly with outOfMemory and left no array behind.
void call_with_no_room_for_the_weight_sum(const std::string& plugin, mxClassID class_id,
                                          int element_bytes, const std::vector<int>& grid)
{
    const int outputs = static_cast<int>(grid.size());
    std::vector<standin::Array> inputs;
    for (int a = 0; a < outputs; ++a) inputs.push_back(standin::make_array(class_id, grid));
    inputs.push_back(standin::make_array(class_id, {1, 1}));
    std::vector<const mxArray*> pointers;
    for (const auto& input : inputs) pointers.push_back(input.get());
    const long live = standin::live_arrays();

    const long long grid_bytes = dispinvert_test::count_of(grid) * element_bytes;
    const long long in_use = address_limit::in_use();
    if (in_use < 0) std::_Exit(2);
    if (!address_limit::cap(in_use + outputs * grid_bytes + grid_bytes / 2)) std::_Exit(3);

    const standin::CallResult result = standin::call(plugin, outputs, pointers);
    if (result.ok) std::_Exit(4);
    if (result.id != plugin + ":outOfMemory") {
        std::fprintf(stderr, "%s: %s\n", result.id.c_str(), result.message.c_str());
        std::_Exit(5);
    }
    if (standin::live_arrays() != live) std::_Exit(6);
    std::_Exit(0);
}

// In a child process: asks for 8 threads on a small grid of 40 z-planes
// with no room left for a thread's stack, and exits 0 when the call failed
// with threadStart, after joining what it started, and left no array behind.
void call_with_no_room_for_threads(const std::string& plugin, mxClassID class_id, int outputs)
{
    const std::vector<int> grid = outputs == 3 ? std::vector<int>{4, 3, 40} : std::vector<int>{4, 40};
    std::vector<standin::Array> inputs;
    for (int a = 0; a < outputs; ++a) inputs.push_back(standin::make_array(class_id, grid));
    inputs.push_back(standin::make_array(class_id, {1, 1}));
    std::vector<const mxArray*> pointers;
    for (const auto& input : inputs) pointers.push_back(input.get());
    standin::call(plugin, outputs, pointers);  // loads the plug-in first
    standin::set_thread_count(8);
    const long live = standin::live_arrays();
    const long long in_use = address_limit::in_use();
    if (in_use < 0) std::_Exit(2);
    if (!address_limit::cap(in_use + (2 << 20))) std::_Exit(3);
    const standin::CallResult result = standin::call(plugin, outputs, pointers);
    if (result.ok) std::_Exit(4);
    if (result.id != plugin + ":threadStart") {
        std::fprintf(stderr, "%s: %s\n", result.id.c_str(), result.message.c_str());
        std::_Exit(5);
    }
    if (standin::live_arrays() != live) std::_Exit(6);
    std::_Exit(0);
}
#endif

TEST(WorkerThreads, FailedStartIsAThreadStartErrorThatLeavesNothingBehind)
{
#ifdef DISPINVERT_SANITIZED
    GTEST_SKIP() << "sanitizers reserve address space beyond any useful limit";
#else
    const std::string why = address_limit::unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_EXIT(call_with_no_room_for_threads("dispinvert_vol_f64", mxDOUBLE_CLASS, 3),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(call_with_no_room_for_threads("dispinvert_vol_f32", mxSINGLE_CLASS, 3),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(call_with_no_room_for_threads("dispinvert_plane_f64", mxDOUBLE_CLASS, 2),
                ::testing::ExitedWithCode(0), "");
#endif
}

TEST(WeightSumAllocation, FailureIsAnOutOfMemoryErrorThatLeavesNothingBehind)
{
#ifdef DISPINVERT_SANITIZED
    GTEST_SKIP() << "sanitizers reserve address space beyond any useful limit";
#else
    const std::string why = address_limit::unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_EXIT(call_with_no_room_for_the_weight_sum("dispinvert_vol_f64", mxDOUBLE_CLASS, 8,
                                                     {256, 256, 256}),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(call_with_no_room_for_the_weight_sum("dispinvert_vol_f32", mxSINGLE_CLASS, 4,
                                                     {256, 256, 512}),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(call_with_no_room_for_the_weight_sum("dispinvert_plane_f64", mxDOUBLE_CLASS, 8,
                                                     {4096, 4096}),
                ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
