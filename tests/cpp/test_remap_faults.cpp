// The remapping plug-ins on calls outside their contract: wrong counts,
// wrong classes and shapes, out-of-range values, and failed allocations.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <type_traits>

#include "reference/remap_reference.h"
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
                  const std::string& message_part)
{
    const long live = standin::live_arrays();
    standin::CallResult r = call(plugin, nlhs, in);
    EXPECT_FALSE(r.ok) << plugin << " accepted a call that should fail with " << id;
    EXPECT_EQ(r.id, plugin + ":" + id) << r.message;
    EXPECT_NE(r.message.find(message_part), std::string::npos) << r.message;
    EXPECT_EQ(standin::live_arrays(), live) << "arrays left behind by a failed call";
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

TEST(RemapErrors, ClassComplexAndSparseInputs)
{
    for (int slot = 0; slot < 8; ++slot) {
        expect_error("remap_vol_f64", 2, with_input<double>(3, slot, standin::make_scalar<float>(1)),
                     "badClass", "of class double");
        expect_error("remap_vol_f32", 2, with_input<float>(3, slot, standin::make_scalar<double>(1)),
                     "badClass", "of class single");
        expect_error("remap_plane_f64", 2, with_input<double>(2, slot, standin::make_scalar<int>(1)),
                     "badClass", "of class double");
        expect_error("remap_vol_f64", 2,
                     with_input<double>(3, slot, standin::make_array(mxDOUBLE_CLASS, {1, 1}, mxCOMPLEX)),
                     "complex", "real");
        expect_error("remap_vol_f64", 2, with_input<double>(3, slot, standin::make_sparse(2, 2)),
                     "sparse", "full");
    }
    expect_error("remap_vol_f64", 2, with_input<double>(3, 1, standin::make_scalar<float>(1)),
                 "badClass", "image B");
    expect_error("remap_vol_f64", 2, with_input<double>(3, 6, standin::make_array(mxLOGICAL_CLASS, {3, 3})),
                 "badClass", "weights");
}

TEST(RemapErrors, SizesAndSettings)
{
    using V = std::vector<double>;
    for (int slot : {1, 2, 3})
        expect_error("remap_vol_f64", 2, with_input<double>(3, slot, standin::make_filled<double>({4, 3}, V(12))),
                     "sizeMismatch", "at least as many elements as image A");
    const struct {
        int slot;
        std::vector<int> dims;
        V values;
        const char* id;
        const char* text;
    } bad[] = {
        {4, {1, 1}, {0}, "badRange", "range"},
        {4, {1, 2}, {1, 1}, "badRange", "max > min"},
        {4, {1, 2}, {2, 1}, "badRange", "max > min"},
        {4, {1, 2}, {0, INFINITY}, "badRange", "finite"},
        {4, {1, 2}, {NAN, 1}, "badRange", "finite"},
        {5, {0, 0}, {}, "empty", "bins"},
        {5, {1, 1}, {1}, "badBins", "bins"},
        {5, {1, 1}, {2.5}, "badBins", "whole number"},
        {5, {1, 1}, {NAN}, "badBins", "bins"},
        {5, {1, 1}, {46341}, "badBins", "46340"},
        {5, {1, 1}, {-4}, "badBins", "bins"},
        {7, {0, 1}, {}, "empty", "spacing"},
        {7, {1, 1}, {0}, "badSpacing", "spacing"},
        {7, {1, 1}, {-1}, "badSpacing", "spacing"},
        {7, {1, 1}, {INFINITY}, "badSpacing", "spacing"},
        {7, {1, 1}, {NAN}, "badSpacing", "spacing"},
        {7, {1, 1}, {1e-12}, "badSpacing", "32 bits"},
        // Each axis's block count fits in 32 bits, their product does not.
        {7, {1, 1}, {2e-5}, "badSpacing", "32 bits"},
    };
    for (const auto& b : bad) {
        expect_error("remap_vol_f64", 2, with_input<double>(3, b.slot, standin::make_filled<double>(b.dims, b.values)),
                     b.id, b.text);
        expect_error("remap_plane_f64", 2, with_input<double>(2, b.slot, standin::make_filled<double>(b.dims, b.values)),
                     b.id, b.text);
    }
    // Fine spacing is accepted as long as the grid fits.
    standin::CallResult r = call("remap_vol_f64", 2, with_input<double>(3, 7, standin::make_scalar<double>(0.05)));
    EXPECT_TRUE(r.ok) << r.message;
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

// Scratch that cannot be had, and threads that cannot be started, fail the
// call with a clear error and leave nothing behind. Run in a child process
// whose address space is limited; sanitizer builds, which reserve huge
// shadow mappings, skip it.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

long address_space_in_use()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0;
    if (f) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    return pages * sysconf(_SC_PAGESIZE);
}

// Runs the call in a child with `headroom` bytes of address space to spare;
// the child exits 0 when the call failed with the expected identifier.
void expect_error_with_limited_memory(double threads, double bins, long headroom, const std::string& id)
{
    call("remap_vol_f64", 2, valid_inputs<double>(3));  // load the plug-in first
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Inputs in = valid_inputs<double>(3);
        in.arrays[5] = standin::make_scalar<double>(bins);
        in.arrays[0] = standin::make_filled<double>({4, 3, 40}, std::vector<double>(480, 0.5));
        for (int k = 1; k < 4; ++k) in.arrays[k] = standin::make_filled<double>({4, 3, 40}, std::vector<double>(480, 0.5));
        standin::set_thread_count(threads);
        const long live = standin::live_arrays();
        rlimit limit{static_cast<rlim_t>(address_space_in_use() + headroom),
                     static_cast<rlim_t>(address_space_in_use() + headroom)};
        setrlimit(RLIMIT_AS, &limit);
        standin::CallResult r = call("remap_vol_f64", 2, in);
        const bool expected = !r.ok && r.id == "remap_vol_f64:" + id && standin::live_arrays() == live;
        if (!expected) std::fprintf(stderr, "got ok=%d id=%s message=%s\n", r.ok, r.id.c_str(), r.message.c_str());
        _exit(expected ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
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
#endif
