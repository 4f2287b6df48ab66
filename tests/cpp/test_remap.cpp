// remap_vol_f32, remap_vol_f64 and remap_plane_f64 against the literal model,
// across thread counts and block geometries.
#include <cmath>
#include <type_traits>

#include "reference/remap_reference.h"
#include "test_support.h"
#include "worker_threads.h"

using namespace testing_support;
using reference::RemapCase;

namespace {

template <class T>
Inputs remap_inputs(const RemapCase<T>& c)
{
    const std::vector<int> image = c.dims == 3 ? std::vector<int>{c.sx, c.sy, c.sz}
                                               : std::vector<int>{c.sx, c.sy};
    const std::vector<int> window = c.dims == 3 ? std::vector<int>{c.wx, c.wy, c.wz}
                                                : std::vector<int>{c.wx, c.wy};
    Inputs in;
    in.add(image, c.a).add(image, c.b).add(image, c.c).add(image, c.d);
    in.add({1, 2}, std::vector<T>{c.min, c.max}).add({1, 1}, std::vector<T>{c.bins});
    in.add(window, c.weights).add({1, 1}, std::vector<T>{c.spacing});
    return in;
}

// A random case inside the plug-ins' contract. Values are drawn from a few
// levels so that histogram ties and exact min/max values occur.
template <class T>
RemapCase<T> random_case(std::mt19937& rng, int dims)
{
    RemapCase<T> c;
    c.dims = dims;
    c.sx = pick(rng, 1, 13);
    c.sy = pick(rng, 1, 11);
    c.sz = dims == 3 ? pick(rng, 1, 9) : 1;
    c.wx = pick(rng, 1, 8);
    c.wy = pick(rng, 1, 8);
    c.wz = dims == 3 ? pick(rng, 1, 6) : 1;
    c.min = static_cast<T>(std::uniform_real_distribution<double>(-5, 5)(rng));
    c.max = static_cast<T>(c.min + std::uniform_real_distribution<double>(0.5, 20)(rng));
    c.bins = static_cast<T>(pick(rng, 2, 64));
    const double spacings[] = {1, 2, 3, 4, 5, 6, 2.5, 0.5, 0.75, 1.5};
    c.spacing = static_cast<T>(spacings[pick(rng, 0, 9)]);
    const size_t n = static_cast<size_t>(c.sx) * c.sy * c.sz;
    const int levels = pick(rng, 2, 40);
    for (std::vector<T>* image : {&c.a, &c.b, &c.c, &c.d}) {
        image->resize(n);
        for (T& v : *image) {
            const double t = pick(rng, 0, levels) / static_cast<double>(levels);
            v = static_cast<T>(c.min + t * (static_cast<double>(c.max) - c.min));
            if (v > c.max) v = c.max;
        }
    }
    c.weights = uniform<T>(rng, static_cast<size_t>(c.wx) * c.wy * c.wz, 0.05, 2.0);
    return c;
}

template <class T>
void expect_matches_reference(const std::string& plugin, const RemapCase<T>& c, double threads)
{
    standin::set_thread_count(threads);
    const long live = standin::live_arrays();
    {
        const Inputs in = remap_inputs(c);
        standin::CallResult r = call(plugin, 2, in);
        ASSERT_TRUE(r.ok) << r.message;
        const reference::RemapResult<T> expected = reference::remap(c);
        EXPECT_TRUE(same_bits(r.outputs[0].values<T>(), expected.out_a))
            << plugin << " out_a, " << c.sx << "x" << c.sy << "x" << c.sz << " window " << c.wx
            << "x" << c.wy << "x" << c.wz << " spacing " << c.spacing << " bins " << c.bins
            << " threads " << threads;
        EXPECT_TRUE(same_bits(r.outputs[1].values<T>(), expected.out_b)) << plugin << " out_b";
    }
    EXPECT_EQ(standin::live_arrays(), live);
}

// The case with a bin step of a power of two and its values redrawn, some of
// them exactly half a step below min or above max: their rounded bin
// positions are -0.5 and the bin count, one past the last line, which must
// clamp to the last.
template <class T>
void put_values_half_a_step_beyond(RemapCase<T>& c, std::mt19937& rng)
{
    const double step = std::ldexp(1.0, pick(rng, -2, 1));
    c.min = static_cast<T>(pick(rng, -5, 5));
    c.max = static_cast<T>(c.min + (c.bins - 1) * step);
    for (std::vector<T>* image : {&c.a, &c.b, &c.c, &c.d}) {
        for (T& v : *image) {
            const int bin = pick(rng, -4, static_cast<int>(c.bins) + 3);
            v = static_cast<T>(bin < 0                        ? c.min - step / 2
                               : bin >= static_cast<int>(c.bins) ? c.max + step / 2
                                                                 : c.min + bin * step);
        }
    }
}

template <class T>
void random_cases_match_reference(const std::string& plugin, int dims, unsigned seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; i < 60; ++i) {
        const RemapCase<T> c = random_case<T>(rng, dims);
        expect_matches_reference(plugin, c, pick(rng, 1, 4));
        if (::testing::Test::HasFailure()) return;
    }
    for (int i = 0; i < 10; ++i) {
        RemapCase<T> c = random_case<T>(rng, dims);
        put_values_half_a_step_beyond(c, rng);
        expect_matches_reference(plugin, c, pick(rng, 1, 4));
    }
    // The first and last block spans along x reach the ends of the image but
    // leave a voxel between two spans unmapped (x = 5 in double, 10 in
    // single), which must read 0; along y and z the spans follow one another.
    RemapCase<T> gap = random_case<T>(rng, dims);
    const bool single = std::is_same<T, float>::value;
    gap.sx = single ? 13 : 8;
    gap.sy = 5;
    gap.sz = dims == 3 ? 4 : 1;
    gap.spacing = static_cast<T>(single ? 1.1 : 1.2);
    const size_t n = static_cast<size_t>(gap.sx) * gap.sy * gap.sz;
    for (std::vector<T>* image : {&gap.a, &gap.b, &gap.c, &gap.d}) image->resize(n, gap.max);
    expect_matches_reference(plugin, gap, 2);
}

}  // namespace

TEST(Remap, VolumeDoubleMatchesReference) { random_cases_match_reference<double>("remap_vol_f64", 3, 11); }
TEST(Remap, VolumeSingleMatchesReference) { random_cases_match_reference<float>("remap_vol_f32", 3, 12); }
TEST(Remap, PlaneDoubleMatchesReference) { random_cases_match_reference<double>("remap_plane_f64", 2, 13); }

// Overlapping regions (the clamped last layer, and any spacing below 1) end
// with the last block's value whatever the thread count, including counts
// below 1, NaN and more threads than block layers.
TEST(Remap, EveryThreadCountGivesTheSameOutputs)
{
    std::mt19937 rng(21);
    const double counts[] = {1, 2, 3, 7, 64, 0, -3, NAN, 2.9};
    for (double spacing : {4.0, 0.6, 3.0}) {
        RemapCase<double> c = random_case<double>(rng, 3);
        c.sx = 10; c.sy = 6; c.sz = 10;
        c.wx = 5; c.wy = 4; c.wz = 5;
        c.spacing = spacing;
        const size_t n = 600;
        for (auto* image : {&c.a, &c.b, &c.c, &c.d}) {
            image->resize(n);
            for (double& v : *image) v = c.min + (c.max - c.min) * pick(rng, 0, 7) / 7.0;
        }
        c.weights = uniform<double>(rng, 100, 0.1, 1);
        for (double threads : counts) expect_matches_reference("remap_vol_f64", c, threads);
    }
    RemapCase<float> f = random_case<float>(rng, 3);
    for (double threads : counts) expect_matches_reference("remap_vol_f32", f, threads);
}

// Every family splits its layers with share_start: with millions of layers
// and a thousand workers (t x layers beyond 32 bits) each worker still takes
// the floor or the ceiling of layers / workers, and the shares tile the
// layers in order.
TEST(Remap, SharesOfMillionsOfLayersTileThem)
{
    for (int32_t layers : {1000, 3000017, 2147483647})
        for (int32_t workers : {7, 1000, 1024}) {
            SCOPED_TRACE(std::to_string(layers) + " layers over " + std::to_string(workers));
            const int32_t least = layers / workers;
            int32_t end = 0, uneven = 0;
            ASSERT_EQ(regkern::share_start(0, workers, layers), 0);
            for (int32_t t = 0; t < workers; ++t) {
                const int32_t next = regkern::share_start(t + 1, workers, layers);
                const int64_t share = static_cast<int64_t>(next) - end;
                if (share != least) {
                    ASSERT_EQ(share, least + 1) << "worker " << t;
                }
                uneven += share != least;
                end = next;
            }
            EXPECT_EQ(end, layers);
            EXPECT_EQ(uneven, layers % workers);
        }
}

// 61 block rows over 7 workers, and other uneven splits of the plane.
TEST(Remap, PlaneSplitsOverBlockRows)
{
    std::mt19937 rng(22);
    RemapCase<double> c = random_case<double>(rng, 2);
    c.sx = 7; c.sy = 61; c.spacing = 1; c.wx = 3; c.wy = 5;
    const size_t n = 7 * 61;
    for (auto* image : {&c.a, &c.b, &c.c, &c.d}) *image = uniform<double>(rng, n, c.min, c.max);
    c.weights = uniform<double>(rng, 15, 0.1, 1);
    for (double threads : {7.0, 1.0, 2.0, 60.0, 61.0, 100.0}) expect_matches_reference("remap_plane_f64", c, threads);
    c.sy = 16; c.spacing = 4.0;
    for (auto* image : {&c.a, &c.b, &c.c, &c.d}) image->resize(7 * 16);
    for (double threads : {1.0, 3.0, 4.0, 5.0}) expect_matches_reference("remap_plane_f64", c, threads);
}

// sx = 10 with spacing 4: the last block's centre is clamped to 9 and voxel 7,
// in the regions of blocks 1 and 2, ends with block 2's value. Block 2's
// window sees only bright voxels, block 1's only dark ones.
TEST(Remap, ClampedLastBlockOwnsTheOverlap)
{
    RemapCase<double> c;
    c.dims = 2; c.sx = 10; c.sy = 1; c.wx = 3; c.wy = 1;
    c.min = 0; c.max = 1; c.bins = 2; c.spacing = 4;
    c.a.assign(10, 0.0);
    c.b = c.c = c.a;
    c.d = {0, 0, 0, 0, 0, 0, 0, 1, 1, 1};
    c.weights = {1, 1, 1};
    standin::set_thread_count(1);
    const Inputs in = remap_inputs(c);
    standin::CallResult r = call("remap_plane_f64", 2, in);
    ASSERT_TRUE(r.ok) << r.message;
    const std::vector<double> out_a = r.outputs[0].values<double>();
    EXPECT_EQ(out_a[6], 0.0);  // block 1: its window (4..6) has D = 0
    EXPECT_EQ(out_a[7], 1.0);  // block 2: window 8..9 (centre 9) has D = 1
    EXPECT_EQ(out_a[9], 1.0);
    EXPECT_TRUE(same_bits(out_a, reference::remap(c).out_a));
}

// Every output value is min + k / bin_scale for a bin k: with A = D, values on
// bin centres, and windows that cover their blocks (odd spacing, window of
// the spacing's size), the remapping gives A back.
TEST(Remap, IdentityPartnerGivesBinCentres)
{
    RemapCase<double> c;
    c.dims = 3; c.sx = 6; c.sy = 6; c.sz = 3; c.wx = c.wy = c.wz = 3;
    c.min = -1; c.max = 1; c.bins = 5; c.spacing = 3;
    std::mt19937 rng(5);
    c.a.resize(108);
    for (double& v : c.a) v = -1 + 0.5 * pick(rng, 0, 4);
    c.b = c.c = c.d = c.a;
    c.weights.assign(27, 1.0);
    standin::set_thread_count(2);
    const Inputs in = remap_inputs(c);
    standin::CallResult r = call("remap_vol_f64", 2, in);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), c.a));
    EXPECT_TRUE(same_bits(r.outputs[1].values<double>(), c.a));
}

// Shapes: outputs take image A's dimension vector; a volume plug-in reads a
// 2-D image or window as one slice; the plane plug-in reads only the first
// plane of a 3-D image.
TEST(Remap, OutputShapesAndMissingExtents)
{
    std::mt19937 rng(31);
    RemapCase<double> flat = random_case<double>(rng, 3);
    flat.sz = 1; flat.wz = 1;
    const size_t n = static_cast<size_t>(flat.sx) * flat.sy;
    for (auto* image : {&flat.a, &flat.b, &flat.c, &flat.d}) image->resize(n, flat.min);
    flat.weights.resize(static_cast<size_t>(flat.wx) * flat.wy);
    RemapCase<double> as_plane = flat;
    as_plane.dims = 2;
    Inputs in = remap_inputs(as_plane);  // 2-D arrays given to the volume plug-in
    standin::set_thread_count(3);
    standin::reset_warnings();
    standin::CallResult r = call("remap_vol_f64", 2, in);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.outputs[0].dims(), std::vector<int>({flat.sx, flat.sy}));
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), reference::remap(flat).out_a));
    EXPECT_TRUE(warned(""));

    RemapCase<double> plane = random_case<double>(rng, 2);
    Inputs deep = remap_inputs(plane);
    std::vector<double> stacked = plane.a;
    stacked.insert(stacked.end(), plane.a.size(), 1e30);  // a second plane that must not matter
    deep.arrays[0] = standin::make_filled<double>({plane.sx, plane.sy, 2}, stacked);
    r = call("remap_plane_f64", 2, deep);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.outputs[1].dims(), std::vector<int>({plane.sx, plane.sy}));
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), reference::remap(plane).out_a));
    // Carried out as before, with a warning from mexFunction's thread (a
    // warning from a worker aborts the stand-in host).
    EXPECT_TRUE(warned("remap_plane_f64:extraSlices",
                       "A (input 1) has more than one slice: only the first is used; pass a 2-D "
                       "array (the volume plug-ins take volumes)"));
    deep.arrays[6] = standin::make_filled<double>({plane.wx, plane.wy, 1, 2}, plane.weights);
    r = call("remap_plane_f64", 2, deep);
    EXPECT_TRUE(same_bits(r.outputs[1].values<double>(), reference::remap(plane).out_b));
    EXPECT_TRUE(warned("remap_plane_f64:extraSlices",
                       "A (input 1) and weights (input 7) have more than one slice each: only the "
                       "first of each is used; pass 2-D arrays (the volume plug-ins take volumes)"));

    RemapCase<float> empty = random_case<float>(rng, 3);
    empty.sy = 0;
    for (auto* image : {&empty.a, &empty.b, &empty.c, &empty.d}) image->clear();
    r = call("remap_vol_f32", 2, remap_inputs(empty));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_TRUE(warned(""));
    EXPECT_EQ(r.outputs[0].numel(), 0u);
    EXPECT_EQ(r.outputs[0].class_id(), mxSINGLE_CLASS);

    // An extent of 2^31 - 1, the largest an int32 holds, is accepted (with
    // another extent 0 nothing is read), in the image and in the window.
    for (const char* plugin : {"remap_vol_f64", "remap_plane_f64"}) {
        Inputs widest = remap_inputs(random_case<double>(rng, 2));
        widest.arrays[0] = standin::make_array(mxDOUBLE_CLASS, {INT32_MAX, 0});
        widest.arrays[7] = standin::make_scalar<double>(2);
        r = call(plugin, 2, widest);
        ASSERT_TRUE(r.ok) << plugin << ": " << r.message;
        EXPECT_EQ(r.outputs[0].dims(), std::vector<int>({INT32_MAX, 0}));
        widest.arrays[0] = standin::make_array(mxDOUBLE_CLASS, {0, 3});
        widest.arrays[6] = standin::make_array(mxDOUBLE_CLASS, {INT32_MAX, 0});
        r = call(plugin, 2, widest);
        EXPECT_TRUE(r.ok) << plugin << ": " << r.message;
    }
}

// A spacing far below 1 lays many blocks over each voxel; only the last block
// containing a voxel decides it, so the call costs about one block per voxel.
TEST(Remap, FineSpacingMatchesReferenceAndStaysCheap)
{
    std::mt19937 rng(51);
    RemapCase<double> c = random_case<double>(rng, 3);
    c.sx = 5; c.sy = 4; c.sz = 3; c.wx = 3; c.wy = 2; c.wz = 3; c.spacing = 0.3;
    for (auto* image : {&c.a, &c.b, &c.c, &c.d}) *image = uniform<double>(rng, 60, c.min, c.max);
    c.weights = uniform<double>(rng, 18, 0.1, 1);
    for (double threads : {1.0, 2.0, 5.0}) expect_matches_reference("remap_vol_f64", c, threads);

    // 40000 x 40000 blocks over 20 x 20 pixels: refused by no check, done in
    // a moment.
    RemapCase<double> fine = random_case<double>(rng, 2);
    fine.sx = 20; fine.sy = 20; fine.spacing = 0.0005;
    for (auto* image : {&fine.a, &fine.b, &fine.c, &fine.d}) *image = uniform<double>(rng, 400, fine.min, fine.max);
    standin::set_thread_count(2);
    standin::CallResult r = call("remap_plane_f64", 2, remap_inputs(fine));
    ASSERT_TRUE(r.ok) << r.message;
    for (double v : r.outputs[0].values<double>()) EXPECT_TRUE(v >= fine.min && v <= fine.max);
}

// A random case of the given sizes, its values on a few levels with a smooth
// trend, so that neighbouring blocks share bins as in real images.
template <class T>
RemapCase<T> sized_case(std::mt19937& rng, int dims, std::vector<int> image,
                        std::vector<int> window, double bins, double spacing)
{
    RemapCase<T> c = random_case<T>(rng, dims);
    c.sx = image[0]; c.sy = image[1]; c.sz = dims == 3 ? image[2] : 1;
    c.wx = window[0]; c.wy = window[1]; c.wz = dims == 3 ? window[2] : 1;
    c.bins = static_cast<T>(bins);
    c.spacing = static_cast<T>(spacing);
    const size_t n = static_cast<size_t>(c.sx) * c.sy * c.sz;
    for (std::vector<T>* values : {&c.a, &c.b, &c.c, &c.d}) {
        values->resize(n);
        const double phase = std::uniform_real_distribution<double>(0, 6)(rng);
        for (size_t i = 0; i < n; ++i) {
            const double t = 0.5 + 0.4 * std::sin(phase + 0.05 * i) + 0.1 * pick(rng, -1, 1);
            (*values)[i] = static_cast<T>(c.min + t * (static_cast<double>(c.max) - c.min));
        }
    }
    c.weights = uniform<T>(rng, static_cast<size_t>(c.wx) * c.wy * c.wz, 0.05, 2.0);
    return c;
}

// The plug-ins gather a block's histograms either from a buffer in which a
// tile's voxels were binned once (reused by the tile's later block layers)
// or, for wide histograms, windows too large to buffer and windows that do
// not overlap, straight from the images. Each way, over several tiles and layers, matches the model.
TEST(Remap, EveryWayOfGatheringMatchesReference)
{
    std::mt19937 rng(61);
    for (double threads : {1.0, 3.0}) {
        // Many tiles across, many layers along the slab axis.
        expect_matches_reference("remap_vol_f64", sized_case<double>(rng, 3, {70, 40, 20}, {7, 5, 5}, 24, 2), threads);
        expect_matches_reference("remap_vol_f32", sized_case<float>(rng, 3, {50, 30, 16}, {6, 7, 4}, 17, 2.5), threads);
        expect_matches_reference("remap_plane_f64", sized_case<double>(rng, 2, {300, 50}, {9, 7}, 40, 3), threads);
        // More bins than the buffered way takes: cells touched are tracked.
        expect_matches_reference("remap_vol_f64", sized_case<double>(rng, 3, {12, 10, 6}, {5, 3, 3}, 300, 4), threads);
        expect_matches_reference("remap_plane_f64", sized_case<double>(rng, 2, {20, 16}, {5, 5}, 1000, 6), threads);
        // Windows no wider than the spacing: no voxel is read twice.
        expect_matches_reference("remap_vol_f64", sized_case<double>(rng, 3, {40, 30, 20}, {3, 4, 5}, 20, 5), threads);
        // A window too large to buffer.
        expect_matches_reference("remap_vol_f32", sized_case<float>(rng, 3, {60, 60, 24}, {60, 60, 24}, 12, 15), threads);
        expect_matches_reference("remap_vol_f64", sized_case<double>(rng, 3, {48, 48, 24}, {47, 48, 23}, 12, 16), threads);
        if (::testing::Test::HasFailure()) return;
    }
}

// Negative window weights: every touched cell of a line can fall below zero,
// and then a cell the block never touched (zero) is the line's mode. Against
// the model on both ways of gathering (up to 256 bins, and more, where only
// the touched cells are scanned), weights of one sign and of both.
TEST(Remap, NegativeWeightsMatchReference)
{
    // A = 0 on bin 0 and D at bin position 0.5: line 0 has -4.5 in cells 0
    // and 1, so its mode is cell 2, the first zero cell.
    RemapCase<double> c;
    c.dims = 2; c.sx = 6; c.sy = 6; c.wx = 3; c.wy = 3;
    c.min = 0; c.max = 1; c.bins = 300; c.spacing = 2;
    c.a.assign(36, 0.0);
    c.b = c.c = c.a;
    c.d.assign(36, 0.5 / 299);
    c.weights.assign(9, -1.0);
    standin::set_thread_count(1);
    standin::CallResult r = call("remap_plane_f64", 2, remap_inputs(c));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.outputs[0].values<double>(), std::vector<double>(36, 2.0 / 299));
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), reference::remap(c).out_a));

    std::mt19937 rng(71);
    for (const double low : {-2.0, -1.0}) {
        const double high = low < -1.5 ? -0.05 : 1.0;
        const auto negated = [&](auto c) {
            c.weights = uniform<typename decltype(c.weights)::value_type>(rng, c.weights.size(), low, high);
            return c;
        };
        for (double threads : {1.0, 3.0}) {
            expect_matches_reference("remap_vol_f64", negated(sized_case<double>(rng, 3, {30, 20, 12}, {7, 5, 5}, 24, 2)), threads);
            expect_matches_reference("remap_vol_f32", negated(sized_case<float>(rng, 3, {20, 16, 10}, {3, 4, 3}, 20, 5)), threads);
            expect_matches_reference("remap_vol_f64", negated(sized_case<double>(rng, 3, {12, 10, 6}, {5, 3, 3}, 300, 4)), threads);
            expect_matches_reference("remap_plane_f64", negated(sized_case<double>(rng, 2, {20, 16}, {5, 5}, 1000, 6)), threads);
            if (::testing::Test::HasFailure()) return;
        }
    }
}
