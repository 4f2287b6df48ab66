// Remapping calls the fuzzer found mishandled; each stays here so that the
// fault cannot come back.
#include <cmath>
#include <limits>

#include "reference/remap_reference.h"
#include "test_support.h"

using namespace testing_support;
using reference::RemapCase;

namespace {

// A small valid call: images of `image` extents holding values in [0, 1],
// range [0 1], 8 bins, a 3 x 3 (x 3) window, spacing 2.
template <class T>
Inputs remap_call(const std::vector<int>& image, int dims)
{
    size_t n = 1;
    for (int d : image) n *= static_cast<size_t>(d);
    std::vector<T> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<T>(i % 7) / 6;
    Inputs in;
    for (int k = 0; k < 4; ++k) in.add(image, values);
    in.add({1, 2}, std::vector<T>{0, 1}).add({1, 1}, std::vector<T>{8});
    in.add(dims == 3 ? std::vector<int>{3, 3, 3} : std::vector<int>{3, 3}, std::vector<T>(27, T(1)));
    in.add({1, 1}, std::vector<T>{2});
    return in;
}

// The call must be refused as an input that holds fewer elements than the
// extents the plug-in reads, leaving nothing behind.
void expect_refused_as_too_small(const std::string& plugin, const Inputs& in)
{
    const long live = standin::live_arrays();
    const standin::CallResult r = call(plugin, 2, in);
    EXPECT_FALSE(r.ok) << plugin << " accepted an input that holds no elements";
    EXPECT_TRUE(r.id == plugin + ":sizeMismatch" || r.id == plugin + ":empty") << r.id;
    EXPECT_EQ(standin::live_arrays(), live);
}

}  // namespace

// An image or window whose leading extents are not zero but whose later
// extents include a 0 holds no elements: its data pointer is null. The plane
// plug-in reads the first two extents of image A and of the window, and the
// volume plug-ins the first three, so such an input was read through a null
// pointer (a crash in MATLAB or Octave).
TEST(RemapRegressions, ImageWithZeroLaterExtentIsRefused)
{
    standin::set_thread_count(2);
    Inputs plane = remap_call<double>({4, 3}, 2);
    plane.arrays[0] = standin::make_array(mxDOUBLE_CLASS, {4, 3, 0});
    expect_refused_as_too_small("remap_plane_f64", plane);

    Inputs volume = remap_call<double>({4, 3, 2}, 3);
    volume.arrays[0] = standin::make_array(mxDOUBLE_CLASS, {4, 3, 2, 0});
    expect_refused_as_too_small("remap_vol_f64", volume);

    Inputs single = remap_call<float>({4, 3, 2}, 3);
    single.arrays[0] = standin::make_array(mxSINGLE_CLASS, {4, 3, 2, 0});
    expect_refused_as_too_small("remap_vol_f32", single);
}

TEST(RemapRegressions, WindowWithZeroLaterExtentIsRefused)
{
    standin::set_thread_count(2);
    Inputs plane = remap_call<double>({1, 1}, 2);
    plane.arrays[6] = standin::make_array(mxDOUBLE_CLASS, {5, 4, 0});
    expect_refused_as_too_small("remap_plane_f64", plane);

    Inputs volume = remap_call<double>({4, 3, 2}, 3);
    volume.arrays[6] = standin::make_array(mxDOUBLE_CLASS, {3, 3, 3, 0});
    expect_refused_as_too_small("remap_vol_f64", volume);
}

// A range with max > min, both finite, yet so narrow (or, in double, so wide)
// that (bins - 1) / (max - min) is infinite (or 0). The bin position of min
// was then inf * 0 = NaN, so finite values mapped to NaN, and every other
// value to min. Such a range must be refused, or every finite value must
// still map into [min, max].
template <class T>
void expect_range_refused_or_mapped(const std::string& plugin, T min, T max, T bins = 8)
{
    standin::set_thread_count(1);
    Inputs in = remap_call<T>({4, 3, 2}, 3);
    in.arrays[5] = standin::make_scalar<T>(bins);
    std::vector<T> values(24);
    for (size_t i = 0; i < values.size(); ++i) values[i] = i % 2 ? max : min;
    for (int k = 0; k < 4; ++k) in.arrays[k] = standin::make_filled<T>({4, 3, 2}, values);
    in.arrays[4] = standin::make_filled<T>({1, 2}, std::vector<T>{min, max});
    const long live = standin::live_arrays();
    const standin::CallResult r = call(plugin, 2, in);
    if (!r.ok) {
        EXPECT_EQ(r.id, plugin + ":badRange") << r.message;
        EXPECT_EQ(standin::live_arrays(), live);
        return;
    }
    for (const standin::Array& out : r.outputs) {
        int outside = 0;
        T first = 0;
        for (T v : out.values<T>())
            if (!(v >= min && v <= max) && outside++ == 0) first = v;
        EXPECT_EQ(outside, 0) << plugin << " mapped into [" << min << ", " << max << "] gave "
                              << first;
    }
}

// A range so wide that (bins - 1) / (max - min), though finite and positive,
// is a denormal number: the scale keeps only a few significant bits, so the
// last bin's intensity best / bin_scale + min landed far beyond max (in
// single precision, on +Inf for finite input).
TEST(RemapRegressions, RangeSoWideThatTheScaleIsDenormal)
{
    const float big = std::numeric_limits<float>::max();
    for (float bins : {2.0f, 3.0f, 7.0f}) {
        SCOPED_TRACE(bins);
        expect_range_refused_or_mapped<float>("remap_vol_f32", -big, big, bins);
    }
    const double huge = std::numeric_limits<double>::max() / 2;
    expect_range_refused_or_mapped<double>("remap_vol_f64", -huge, huge, 2);
}

TEST(RemapRegressions, RangeTooNarrowOrTooWideForTheBins)
{
    const float tiny = std::numeric_limits<float>::denorm_min();
    expect_range_refused_or_mapped<float>("remap_vol_f32", tiny, 2 * tiny);
    const double tiny_double = std::numeric_limits<double>::denorm_min();
    expect_range_refused_or_mapped<double>("remap_vol_f64", tiny_double, 2 * tiny_double);
    expect_range_refused_or_mapped<double>("remap_vol_f64", -1e308, 1e308);
    // A normal single-precision scale, rounded down far enough that the
    // last bin (8 / scale + min) lies beyond the largest float.
    const float big = std::numeric_limits<float>::max();
    expect_range_refused_or_mapped<float>("remap_vol_f32", -big / 2, big, 9);
}

// A window of extent 0 along its first axis (or the plane's second) holds no
// weights: no block gathers anything and every voxel maps to bin 0, which
// is min. The buffer of binned voxels took the empty reach of such a window
// for a footprint starting at voxel 2^31 - 1 and overflowed its index. Such a
// call, like one with weights that are all zero, is carried out with a
// warning.
TEST(RemapRegressions, WindowOfExtentZeroGathersNothing)
{
    standin::set_thread_count(2);
    const struct {
        const char* plugin;
        std::vector<int> window;
        const char* shown;  // how the warning shows the window
    } cases[] = {{"remap_vol_f32", {0, 1, 4}, "empty (0x1x4)"},
                 {"remap_vol_f64", {0, 3, 3}, "empty (0x3x3)"},
                 {"remap_vol_f64", {3, 3, 3}, "all zero"},
                 {"remap_plane_f64", {0, 3}, "empty (0x3)"},
                 {"remap_plane_f64", {3, 0}, "empty (3x0)"},
                 {"remap_plane_f64", {2, 3}, "all zero"}};
    standin::reset_warnings();
    for (const auto& c : cases) {
        const bool single = std::string(c.plugin) == "remap_vol_f32";
        const int dims = static_cast<int>(c.window.size());
        const std::vector<int> image = dims == 3 ? std::vector<int>{9, 7, 8} : std::vector<int>{9, 7};
        Inputs in = single ? remap_call<float>(image, dims) : remap_call<double>(image, dims);
        in.arrays[6] = standin::make_array(single ? mxSINGLE_CLASS : mxDOUBLE_CLASS, c.window);
        const standin::CallResult r = call(c.plugin, 2, in);
        ASSERT_TRUE(r.ok) << c.plugin << ": " << r.message;
        for (const standin::Array& out : r.outputs) {
            if (single) {
                for (float v : out.values<float>()) EXPECT_EQ(v, 0.0f) << c.plugin;
            } else {
                for (double v : out.values<double>()) EXPECT_EQ(v, 0.0) << c.plugin;
            }
        }
        EXPECT_TRUE(warned(std::string(c.plugin) + ":zeroWeights",
                           std::string("weights (input 7) is ") + c.shown +
                               ": nothing is gathered and every " + (dims == 2 ? "pixel" : "voxel") +
                               " maps to min; pass weights with a nonzero element, e.g. ones(" +
                               (dims == 2 ? "9, 9" : "9, 9, 9") + ")"));
    }
}

// Window position k of a block reads voxel trunc((centre + k) - half), the
// sums formed in that order. A spacing just below 3 puts the first block's
// centre a hair below 1, where (centre - half) + k rounds differently for
// some k and reads the voxel before the one the model reads; x positions
// were once formed that way. 16 bins gather from binned voxels, 300 straight from the
// images.
TEST(RemapRegressions, WindowPositionsAddInTheModelsOrder)
{
    RemapCase<double> c;
    c.dims = 3; c.sx = 14; c.sy = 3; c.sz = 2;
    c.wx = 13; c.wy = 3; c.wz = 1;
    c.min = 0; c.max = 1;
    c.spacing = 3 - std::ldexp(1.0, -49);  // first centre 1 - 2^-50
    std::mt19937 rng(4);
    for (auto* image : {&c.a, &c.b, &c.c, &c.d}) *image = uniform<double>(rng, 84, 0, 1);
    c.weights = uniform<double>(rng, 39, 0.1, 1);
    for (double threads : {1.0, 2.0}) {
        for (double bins : {16.0, 300.0}) {
            c.bins = bins;
            standin::set_thread_count(threads);
            Inputs in;
            for (const std::vector<double>* image : {&c.a, &c.b, &c.c, &c.d}) in.add({14, 3, 2}, *image);
            in.add({1, 2}, std::vector<double>{c.min, c.max}).add({1, 1}, std::vector<double>{c.bins});
            in.add({13, 3, 1}, c.weights).add({1, 1}, std::vector<double>{c.spacing});
            const standin::CallResult r = call("remap_vol_f64", 2, in);
            ASSERT_TRUE(r.ok) << r.message;
            const reference::RemapResult<double> expected = reference::remap(c);
            EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), expected.out_a)) << bins;
            EXPECT_TRUE(same_bits(r.outputs[1].values<double>(), expected.out_b)) << bins;
        }
    }
}
