// The remapping plug-ins on calls outside their contract: wrong counts,
// wrong classes and shapes, out-of-range values, and failed allocations.
#include <cmath>
#include <limits>
#include <type_traits>

#include "address_limit.h"
#include "memory.h"
#include "reference/remap_reference.h"
#include "system_memory.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// A small valid call of the volume or plane plug-in, whose inputs a test
// replaces one by one.
template <class T>
Inputs valid_inputs(int dims)
{
    const std::vector<int> image = dims == 3 ? std::vector<int>{4, 3, 2} : std::vector<int>{4, 3};
    const size_t n = dims == 3 ? 24 : 12;
    std::vector<T> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<T>(i % 5) / 4;
    Inputs in;
    in.add(image, values).add(image, values).add(image, values).add(image, values);
    in.add({1, 2}, std::vector<T>{0, 1}).add({1, 1}, std::vector<T>{8});
    in.add(dims == 3 ? std::vector<int>{3, 3, 3} : std::vector<int>{3, 3},
           std::vector<T>(27, T(1)));
    in.add({1, 1}, std::vector<T>{2});
    return in;
}

void expect_error(const std::string& plugin, int nlhs, const Inputs& in, const std::string& id,
                  const std::string& message)
{
    const long live = standin::live_arrays();
    standin::CallResult r = call(plugin, nlhs, in);
    EXPECT_FALSE(r.ok) << plugin << " accepted a call that should fail with " << id;
    EXPECT_EQ(r.id, plugin + ":" + id) << r.message;
    EXPECT_EQ(r.message, message);
    EXPECT_EQ(standin::live_arrays(), live) << "arrays left behind by a failed call";
}

const char* const input_names[] = {"A", "B", "C", "D", "range", "bins", "weights", "spacing"};

std::string input_label(int slot)
{
    return std::string(input_names[slot]) + " (input " + std::to_string(slot + 1) + ")";
}

template <class T>
Inputs with_input(int dims, int slot, standin::Array replacement)
{
    Inputs in = valid_inputs<T>(dims);
    in.arrays[slot] = std::move(replacement);
    return in;
}

}  // namespace

TEST(RemapErrors, CountMessagesInputCountFirst)
{
    for (const char* plugin : {"remap_vol_f64", "remap_vol_f32", "remap_plane_f64"}) {
        Inputs seven = valid_inputs<double>(3);
        seven.arrays.pop_back();
        expect_error(plugin, 1, seven, "nrhs", "8 inputs are required.");
        Inputs nine = valid_inputs<double>(3);
        nine.add({1, 1}, std::vector<double>{1});
        expect_error(plugin, 2, nine, "nrhs", "8 inputs are required.");
        expect_error(plugin, 1, valid_inputs<double>(3), "nlhs", "2 outputs are required");
        expect_error(plugin, 3, valid_inputs<double>(3), "nlhs", "2 outputs are required");
    }
    standin::CallResult r = call("remap_vol_f64", 0, Inputs());
    EXPECT_EQ(r.message, "8 inputs are required.");
    r = call("remap_vol_f64", 1, valid_inputs<double>(3));
    EXPECT_EQ(r.message, "2 outputs are required");
}

// Each message names the input as the help does, says what the call passed
// and the conversion that fixes it.
TEST(RemapErrors, ClassComplexAndSparseInputs)
{
    const std::string all_single = ": every input, scalars included, must be single";
    for (int slot = 0; slot < 8; ++slot) {
        const std::string input = input_label(slot), name = input_names[slot];
        expect_error("remap_vol_f64", 2, with_input<double>(3, slot, standin::make_scalar<float>(1)),
                     "badClass", input + " is single; pass double(" + name + ")");
        expect_error("remap_vol_f32", 2, with_input<float>(3, slot, standin::make_scalar<double>(0.1)),
                     "badClass", input + " is double; pass single(0.1)" + all_single);
        expect_error("remap_vol_f32", 2,
                     with_input<float>(3, slot, standin::make_filled<double>({1, 2}, {0, 1})),
                     "badClass", input + " is double; pass single(" + name + ")" + all_single);
        // the images' integer intensities are scaled as well as converted
        const std::string converted = "double(" + name + ")";
        expect_error("remap_plane_f64", 2, with_input<double>(2, slot, standin::make_scalar<int>(1)),
                     "badClass",
                     input + " is int32; pass " +
                         (slot < 4 ? "im2double(" + name + ") to scale its intensities to [0 1], or " +
                                         converted + " to keep them and give the range they span"
                                   : converted));
        expect_error("remap_vol_f64", 2,
                     with_input<double>(3, slot, standin::make_array(mxDOUBLE_CLASS, {1, 1}, mxCOMPLEX)),
                     "complex", input + " is complex double; pass real(" + name + ")");
        expect_error("remap_vol_f64", 2, with_input<double>(3, slot, standin::make_sparse(2, 2)),
                     "sparse", input + " is sparse double; pass full(" + name + ")");
    }
    expect_error("remap_vol_f64", 2, with_input<double>(3, 6, standin::make_array(mxLOGICAL_CLASS, {3, 3})),
                 "badClass", "weights (input 7) is logical; pass double(weights)");
    expect_error("remap_vol_f64", 2, with_input<double>(3, 0, standin::make_array(mxSTRUCT_CLASS, {1, 1})),
                 "badClass", "A (input 1) is a struct; pass a real double array");
}

TEST(RemapErrors, SizesAndSettings)
{
    using V = std::vector<double>;
    for (int slot : {1, 2, 3}) {
        expect_error("remap_vol_f64", 2, with_input<double>(3, slot, standin::make_filled<double>({4, 3}, V(12))),
                     "sizeMismatch",
                     input_label(slot) + " has 12 elements; pass at least 24, one per voxel of A (input 1)");
        expect_error("remap_plane_f64", 2, with_input<double>(2, slot, standin::make_filled<double>({1, 1}, V(1))),
                     "sizeMismatch",
                     input_label(slot) + " has 1 element; pass at least 12, one per pixel of A (input 1)");
    }
    expect_error("remap_plane_f64", 2, with_input<double>(2, 6, standin::make_array(mxDOUBLE_CLASS, {3, 3, 0})),
                 "sizeMismatch",
                 "weights (input 7) is 3x3x0 and holds 0 elements, not the 9 its first two extents "
                 "give; pass a 3x3 array");
    const std::string range_fix = "; pass finite bounds [min max] with max > min";
    const std::string bins_fix = "; pass a whole number from 2 to 46340";
    const std::string spacing_fix = "; pass a finite block edge greater than 0";
    const struct {
        int slot;
        std::vector<int> dims;
        V values;
        const char* id;
        std::string message;
    } bad[] = {
        {4, {0, 0}, {}, "badRange", "range (input 5) has 0 elements; pass two, [min max], e.g. [0 1]"},
        {4, {1, 1}, {0}, "badRange", "range (input 5) has 1 element; pass two, [min max], e.g. [0 1]"},
        {4, {1, 2}, {1, 1}, "badRange", "range (input 5) is [1 1]" + range_fix},
        {4, {1, 2}, {2, 1}, "badRange", "range (input 5) is [2 1]" + range_fix},
        {4, {1, 2}, {0, INFINITY}, "badRange", "range (input 5) is [0 Inf]" + range_fix},
        {4, {1, 2}, {NAN, 0.1}, "badRange", "range (input 5) is [NaN 0.1]" + range_fix},
        {4, {1, 2}, {1e-320, 2e-320}, "badRange",
         "range (input 5) is [1e-320 2e-320], too narrow for 8 bins; pass a wider range"},
        {4, {1, 2}, {-1e308, 1e308}, "badRange",
         "range (input 5) is [-1e+308 1e+308], too wide for 8 bins; pass a narrower range"},
        {5, {0, 0}, {}, "empty", "bins (input 6) is empty; pass a whole number from 2 to 46340"},
        {5, {1, 1}, {1}, "badBins", "bins (input 6) is 1" + bins_fix},
        {5, {1, 1}, {2.5}, "badBins", "bins (input 6) is 2.5" + bins_fix},
        {5, {1, 1}, {NAN}, "badBins", "bins (input 6) is NaN" + bins_fix},
        {5, {1, 1}, {46341}, "badBins", "bins (input 6) is 46341" + bins_fix},
        {5, {1, 1}, {-4}, "badBins", "bins (input 6) is -4" + bins_fix},
        {7, {0, 1}, {}, "empty", "spacing (input 8) is empty; pass a finite block edge greater than 0"},
        {7, {1, 1}, {0}, "badSpacing", "spacing (input 8) is 0" + spacing_fix},
        {7, {1, 1}, {-1}, "badSpacing", "spacing (input 8) is -1" + spacing_fix},
        {7, {1, 1}, {INFINITY}, "badSpacing", "spacing (input 8) is Inf" + spacing_fix},
        {7, {1, 1}, {NAN}, "badSpacing", "spacing (input 8) is NaN" + spacing_fix},
        {7, {1, 1}, {1e-12}, "badSpacing",
         "spacing (input 8) is 1e-12, which makes more than 2^31 - 1 blocks; pass a larger spacing"},
        // Each axis's block count fits in 32 bits, their product does not.
        {7, {1, 1}, {2e-5}, "badSpacing",
         "spacing (input 8) is 2e-05, which makes more than 2^31 - 1 blocks; pass a larger spacing"},
    };
    for (const auto& b : bad) {
        expect_error("remap_vol_f64", 2, with_input<double>(3, b.slot, standin::make_filled<double>(b.dims, b.values)),
                     b.id, b.message);
        expect_error("remap_plane_f64", 2, with_input<double>(2, b.slot, standin::make_filled<double>(b.dims, b.values)),
                     b.id, b.message);
    }
    // Fine spacing is accepted as long as the grid fits.
    standin::CallResult r = call("remap_vol_f64", 2, with_input<double>(3, 7, standin::make_scalar<double>(0.05)));
    EXPECT_TRUE(r.ok) << r.message;
}

// A warning the user turned into an error fails the call through the host's
// error exit, which may skip C++ destructors: the plug-ins issue warnings
// last, with every C++ object of the call gone, so nothing leaks (the
// sanitizer build's leak check sees it) and no array is left behind. One
// plug-in of each family, since all end their mexFunction alike.
TEST(RemapErrors, WarningTurnedIntoErrorLeavesNothing)
{
    standin::set_thread_count(3);
    Inputs remap = valid_inputs<double>(2);
    remap.arrays[6] = standin::make_array(mxDOUBLE_CLASS, {3, 3});
    Inputs dispinvert;
    dispinvert.add({4, 3}, std::vector<double>(12, 0.5)).add({4, 3}, std::vector<double>(12, 0.5));
    dispinvert.add({2, 2}, std::vector<double>(4, 0.0));
    Inputs jointbins;
    jointbins.add({1, 3}, std::vector<double>{1, 2, 3}).add({1, 3}, std::vector<double>{1, 2, 3});
    jointbins.add({1, 1}, std::vector<double>{2}).add({1, 1}, std::vector<double>{2});
    jointbins.add({1, 1}, std::vector<double>{4});
    const struct {
        const char* plugin;
        int nlhs;
        const Inputs& in;
        const char* condition;
    } cases[] = {{"remap_plane_f64", 2, remap, "zeroWeights"},
                 {"dispinvert_plane_f64", 2, dispinvert, "zeroKernel"},
                 {"jointbins_f64", 3, jointbins, "equalBounds"}};
    for (const auto& c : cases) {
        standin::reset_warnings();
        const standin::CallResult warned_call = call(c.plugin, c.nlhs, c.in);
        EXPECT_TRUE(warned_call.ok) << c.plugin;
        const standin::Warning warning = standin::last_warning();
        EXPECT_EQ(warning.id, std::string(c.plugin) + ":" + c.condition);
        standin::set_warnings_as_errors(true);
        expect_error(c.plugin, c.nlhs, c.in, c.condition, warning.message);
        standin::set_warnings_as_errors(false);
    }
}

// Values outside [min, max] land in the edge bins; NaN pairs add nothing and
// a NaN voxel maps to NaN. Compared with the model, which follows the same
// rules, for every thread count and both precisions.
template <class T>
void out_of_range_and_nan_values_match_reference(const char* volume_plugin, unsigned seed)
{
    std::mt19937 rng(seed);
    // -NAN: the NaN that 0/0 leaves on x86, sign bit set; its voxel maps to
    // the same (positive, quiet) NaN as any other.
    const double specials[] = {NAN, -NAN, INFINITY, -INFINITY, 1e300, -1e300, -0.75, 1.75, 3e9, -3e9};
    for (int trial = 0; trial < 12; ++trial) {
        reference::RemapCase<T> c;
        c.dims = trial % 3 == 0 && std::is_same<T, double>::value ? 2 : 3;
        c.sx = pick(rng, 2, 9); c.sy = pick(rng, 2, 8); c.sz = c.dims == 3 ? pick(rng, 1, 6) : 1;
        c.wx = pick(rng, 1, 5); c.wy = pick(rng, 1, 5); c.wz = c.dims == 3 ? pick(rng, 1, 4) : 1;
        c.min = 0; c.max = 1; c.bins = static_cast<T>(pick(rng, 2, 16)); c.spacing = static_cast<T>(pick(rng, 1, 4));
        const size_t n = static_cast<size_t>(c.sx) * c.sy * c.sz;
        for (auto* image : {&c.a, &c.b, &c.c, &c.d}) {
            *image = uniform<T>(rng, n, -0.2, 1.2);
            for (T& v : *image)
                if (pick(rng, 0, 4) == 0) v = static_cast<T>(specials[pick(rng, 0, 9)]);
        }
        c.weights = uniform<T>(rng, static_cast<size_t>(c.wx) * c.wy * c.wz, 0.1, 1);
        const reference::RemapResult<T> expected = reference::remap(c);
        for (double threads : {1.0, 3.0}) {
            standin::set_thread_count(threads);
            Inputs in;
            const std::vector<int> image = c.dims == 3 ? std::vector<int>{c.sx, c.sy, c.sz} : std::vector<int>{c.sx, c.sy};
            const std::vector<int> window = c.dims == 3 ? std::vector<int>{c.wx, c.wy, c.wz} : std::vector<int>{c.wx, c.wy};
            in.add(image, c.a).add(image, c.b).add(image, c.c).add(image, c.d);
            in.add({1, 2}, std::vector<T>{c.min, c.max}).add({1, 1}, std::vector<T>{c.bins});
            in.add(window, c.weights).add({1, 1}, std::vector<T>{c.spacing});
            standin::CallResult r = call(c.dims == 3 ? volume_plugin : "remap_plane_f64", 2, in);
            ASSERT_TRUE(r.ok) << r.message;
            const std::vector<T> out_a = r.outputs[0].values<T>();
            EXPECT_TRUE(same_bits(out_a, expected.out_a));
            EXPECT_TRUE(same_bits(r.outputs[1].values<T>(), expected.out_b));
            for (size_t i = 0; i < n; ++i) {
                if (std::isnan(c.a[i])) EXPECT_TRUE(std::isnan(out_a[i]));
                else EXPECT_TRUE(out_a[i] >= c.min && out_a[i] <= c.max) << out_a[i];
            }
        }
    }
}

TEST(RemapFaults, OutOfRangeAndNaNValues)
{
    out_of_range_and_nan_values_match_reference<double>("remap_vol_f64", 41);
    out_of_range_and_nan_values_match_reference<float>("remap_vol_f32", 42);

    // A position past the last bin but below bins keeps its fraction: 7.7 on
    // 8 bins of width 1 adds 0.3 * 0.9 and then 0.7 * 0.9 to cell (7, 5),
    // one unit in the last place above the 0.9 that A = 7 adds to (7, 2),
    // so line 7's mode is bin 5 (with the whole 0.9 at once it would tie
    // with bin 2, and the tie goes to 2).
    reference::RemapCase<double> c;
    c.dims = 2; c.sx = 2; c.sy = 1; c.wx = 3; c.wy = 1;
    c.min = 0; c.max = 7; c.bins = 8; c.spacing = 3;
    c.a = {7.7, 7}; c.d = {5, 2}; c.b = c.c = {0, 0};
    c.weights = {0.9, 0.9, 0.9};
    Inputs in;
    in.add({2, 1}, c.a).add({2, 1}, c.b).add({2, 1}, c.c).add({2, 1}, c.d);
    in.add({1, 2}, std::vector<double>{0, 7}).add({1, 1}, std::vector<double>{8});
    in.add({3, 1}, c.weights).add({1, 1}, std::vector<double>{3});
    standin::CallResult r = call("remap_plane_f64", 2, in);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.outputs[0].values<double>(), std::vector<double>({5, 5}));
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), reference::remap(c).out_a));
}

// One worker's histograms beyond the machine's memory are refused before any
// output is made (a promise of pages that are not there would end the host
// session when the histograms are cleared). The memory the check sees is
// set (REGKERN_AVAILABLE_MEMORY), so that every machine meets the check.
TEST(RemapFaults, HistogramsBeyondAvailableMemoryAreRefused)
{
    const system_memory::AvailableMemory limit(16e9);
    Inputs in = valid_inputs<double>(3);
    in.arrays[5] = standin::make_scalar<double>(46340);
    const long live = standin::live_arrays();
    const standin::CallResult r = call("remap_vol_f64", 2, in);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.id, "remap_vol_f64:outOfMemory");
    EXPECT_NE(r.message.find("histograms"), std::string::npos) << r.message;
    EXPECT_EQ(standin::live_arrays(), live);
}

// The check counts the outputs and one worker's two bins x bins histograms
// of the element type: exactly that much memory is enough, a byte less is
// refused.
template <class T>
void expect_memory_needed(const std::string& plugin)
{
    SCOPED_TRACE(plugin);
    const int bins = 512;
    Inputs in = valid_inputs<T>(3);
    in.arrays[5] = standin::make_scalar<T>(static_cast<T>(bins));
    const double needed = (2.0 * bins * bins + 2.0 * 24) * sizeof(T);
    {
        const system_memory::AvailableMemory limit(needed);
        const standin::CallResult r = call(plugin, 2, in);
        EXPECT_TRUE(r.ok) << r.id << ": " << r.message;
    }
    const system_memory::AvailableMemory limit(needed - 1);
    const long live = standin::live_arrays();
    const standin::CallResult r = call(plugin, 2, in);
    EXPECT_EQ(r.id, plugin + ":outOfMemory");
    EXPECT_NE(r.message.find("one worker's two 512 x 512 histograms"), std::string::npos)
        << r.message;
    EXPECT_EQ(standin::live_arrays(), live);
}

TEST(RemapFaults, MemoryForOneWorkerIsEnough)
{
    expect_memory_needed<double>("remap_vol_f64");
    expect_memory_needed<float>("remap_vol_f32");
}

// Scratch that cannot be had, and threads that cannot be started, fail the
// call with a clear error and leave nothing behind. Run in a child process
// whose address space is limited; sanitizer builds, which reserve huge
// shadow mappings, skip it.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// In a child: runs the call with `headroom` bytes of address space to spare
// and exits 0 when it failed with the expected identifier.
void call_with_limited_memory(double threads, double bins, long headroom, const std::string& id)
{
    Inputs in = valid_inputs<double>(3);
    in.arrays[5] = standin::make_scalar<double>(bins);
    in.arrays[0] = standin::make_filled<double>({4, 3, 40}, std::vector<double>(480, 0.5));
    for (int k = 1; k < 4; ++k) in.arrays[k] = standin::make_filled<double>({4, 3, 40}, std::vector<double>(480, 0.5));
    standin::set_thread_count(threads);
    const long live = standin::live_arrays();
    if (!address_limit::cap(address_limit::in_use() + headroom)) std::_Exit(2);
    standin::CallResult r = call("remap_vol_f64", 2, in);
    const bool expected = !r.ok && r.id == "remap_vol_f64:" + id && standin::live_arrays() == live;
    if (!expected) std::fprintf(stderr, "got ok=%d id=%s message=%s\n", r.ok, r.id.c_str(), r.message.c_str());
    std::_Exit(expected ? 0 : 1);
}

void expect_error_with_limited_memory(double threads, double bins, long headroom, const std::string& id)
{
    const std::string why = address_limit::unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    call("remap_vol_f64", 2, valid_inputs<double>(3));  // load the plug-in first
    EXPECT_EXIT(call_with_limited_memory(threads, bins, headroom, id), ::testing::ExitedWithCode(0), "");
}

}  // namespace

TEST(RemapFaults, FailedScratchAllocationIsAnError)
{
    expect_error_with_limited_memory(2, 46340, 256L << 20, "outOfMemory");
}

TEST(RemapFaults, FailedThreadStartIsAnError)
{
    expect_error_with_limited_memory(8, 4, 2L << 20, "threadStart");
}

namespace {

// In a child: a call asking for 8 workers, with memory available for two
// workers' histograms and address space for four, must run on at most
// four (no scratch allocation fails) and give the bits of one worker.
void run_with_memory_for_two_workers()
{
    Inputs in = valid_inputs<double>(3);
    std::vector<double> values(480);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i * 7 % 11) / 10;
    for (int k = 0; k < 4; ++k) in.arrays[k] = standin::make_filled<double>({4, 3, 40}, values);
    in.arrays[5] = standin::make_scalar<double>(1024);
    standin::set_thread_count(1);
    const standin::CallResult alone = call("remap_vol_f64", 2, in);
    if (!alone.ok) std::_Exit(3);
    const double per_worker = 2.0 * 1024 * 1024 * sizeof(double);
    const system_memory::AvailableMemory limit(2.5 * per_worker);
    standin::set_thread_count(8);
    if (!address_limit::cap(address_limit::in_use() + static_cast<long long>(4 * per_worker)))
        std::_Exit(2);
    const standin::CallResult capped = call("remap_vol_f64", 2, in);
    if (!capped.ok) std::fprintf(stderr, "failed: %s %s\n", capped.id.c_str(), capped.message.c_str());
    const bool same = capped.ok &&
                      same_bits(capped.outputs[0].values<double>(), alone.outputs[0].values<double>()) &&
                      same_bits(capped.outputs[1].values<double>(), alone.outputs[1].values<double>());
    std::_Exit(same ? 0 : 1);
}

}  // namespace

// Workers whose histograms together exceed the memory available are not
// all started: fewer run, with the same bits.
TEST(RemapFaults, WorkersAreCappedByAvailableMemory)
{
    const std::string why = address_limit::unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    call("remap_vol_f64", 2, valid_inputs<double>(3));  // load the plug-in first
    EXPECT_EXIT(run_with_memory_for_two_workers(), ::testing::ExitedWithCode(0), "");
}
#endif
