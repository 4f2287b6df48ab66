// Field inversion arguments: count messages, rejected inputs, and the input
// shapes that are accepted (short dimension vectors, extra dimensions).
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "reference/dispinvert_reference.h"
#include "test_dispinvert_support.h"

namespace {

using dispinvert_test::HostTest;
using dispinvert_test::random_component;
using dispinvert_test::random_kernel;
using dispinvert_test::same_bits;
using dispinvert_test::values_of;

class Arguments : public HostTest {
protected:
    void expect_error(const std::string& plugin, int nlhs,
                      const std::vector<const mxArray*>& inputs, const std::string& condition,
                      const std::string& message)
    {
        auto result = call(plugin, nlhs, inputs);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.id, plugin + ":" + condition);
        EXPECT_EQ(result.message, message);
    }
};

TEST_F(Arguments, CountMessagesCheckTheInputCountFirst)
{
    auto a = standin::make_scalar<double>(0.0);
    auto s = standin::make_scalar<float>(0.0f);
    for (const char* plugin : {"dispinvert_vol_f64", "dispinvert_vol_f32"}) {
        const mxArray* x = std::string(plugin) == "dispinvert_vol_f32" ? s.get() : a.get();
        expect_error(plugin, 3, {x, x, x}, "nrhs", "Four inputs are required.");
        expect_error(plugin, 2, {x, x, x, x}, "nlhs", "Three outputs are required");
        expect_error(plugin, 4, {x, x, x, x}, "nlhs", "Three outputs are required");
        expect_error(plugin, 0, {x, x, x, x, x}, "nrhs", "Four inputs are required.");
        // Counts come before any look at the inputs.
        expect_error(plugin, 3, {}, "nrhs", "Four inputs are required.");
    }
    const char* plane = "dispinvert_plane_f64";
    const mxArray* x = a.get();
    expect_error(plane, 2, {x, x, x, x}, "nrhs", "Three inputs are required.");
    expect_error(plane, 3, {x, x, x}, "nlhs", "Two outputs are required");
    expect_error(plane, 1, {x, x, x}, "nlhs", "Two outputs are required");
    expect_error(plane, 0, {x, x}, "nrhs", "Three inputs are required.");
}

// Each message names the input as the help does, says what the call passed
// and the conversion that fixes it.
TEST_F(Arguments, WrongClassComplexAndSparseInputsSayHowToFixThem)
{
    auto d = standin::make_array(mxDOUBLE_CLASS, {2, 2, 2});
    auto f = standin::make_array(mxSINGLE_CLASS, {2, 2, 2});
    auto i = standin::make_array(mxINT32_CLASS, {2, 2, 2});
    auto c = standin::make_array(mxDOUBLE_CLASS, {2, 2, 2}, mxCOMPLEX);
    auto fc = standin::make_array(mxSINGLE_CLASS, {2, 2, 2}, mxCOMPLEX);
    auto cell = standin::make_array(mxCELL_CLASS, {1, 1});
    auto sparse = standin::make_sparse(2, 2);
    auto one = standin::make_scalar<double>(1.0);

    const char* vol64 = "dispinvert_vol_f64";
    expect_error(vol64, 3, {f.get(), d.get(), d.get(), d.get()}, "badClass",
                 "bx (input 1) is single; pass double(bx)");
    expect_error(vol64, 3, {d.get(), i.get(), d.get(), d.get()}, "badClass",
                 "by (input 2) is int32; pass double(by)");
    expect_error(vol64, 3, {d.get(), d.get(), c.get(), d.get()}, "complex",
                 "bz (input 3) is complex double; pass real(bz)");
    expect_error(vol64, 3, {d.get(), d.get(), d.get(), sparse.get()}, "sparse",
                 "H (input 4) is sparse double; pass full(H)");
    expect_error(vol64, 3, {d.get(), d.get(), d.get(), cell.get()}, "badClass",
                 "H (input 4) is a cell array; pass a real double array");

    // Single plug-ins say that every input must be single, and show the
    // call to write for a double scalar.
    const char* vol32 = "dispinvert_vol_f32";
    const std::string all_single = ": every input, scalars included, must be single";
    expect_error(vol32, 3, {d.get(), f.get(), f.get(), f.get()}, "badClass",
                 "bx (input 1) is double; pass single(bx)" + all_single);
    expect_error(vol32, 3, {f.get(), f.get(), f.get(), one.get()}, "badClass",
                 "H (input 4) is double; pass single(1)" + all_single);
    expect_error(vol32, 3, {f.get(), fc.get(), f.get(), f.get()}, "complex",
                 "by (input 2) is complex single; pass real(by)");
    expect_error(vol32, 3, {f.get(), f.get(), sparse.get(), f.get()}, "sparse",
                 "bz (input 3) is sparse double; pass single(full(bz))" + all_single);

    const char* plane = "dispinvert_plane_f64";
    expect_error(plane, 2, {d.get(), f.get(), d.get()}, "badClass",
                 "by (input 2) is single; pass double(by)");
    expect_error(plane, 2, {d.get(), d.get(), c.get()}, "complex",
                 "H (input 3) is complex double; pass real(H)");
}

TEST_F(Arguments, ComponentsShorterThanTheGridAreRejected)
{
    auto grid = standin::make_array(mxDOUBLE_CLASS, {3, 2, 2});
    auto short_component = standin::make_array(mxDOUBLE_CLASS, {3, 3});
    auto kernel = standin::make_scalar<double>(1.0);
    expect_error("dispinvert_vol_f64", 3,
                 {grid.get(), short_component.get(), grid.get(), kernel.get()}, "sizeMismatch",
                 "by (input 2) has 9 elements; pass at least 12, one per point of the grid of "
                 "bx (input 1)");
    expect_error("dispinvert_vol_f64", 3,
                 {grid.get(), grid.get(), short_component.get(), kernel.get()}, "sizeMismatch",
                 "bz (input 3) has 9 elements; pass at least 12, one per point of the grid of "
                 "bx (input 1)");

    // Leading extents that promise elements a trailing extent 0 takes away.
    auto hollow = standin::make_array(mxDOUBLE_CLASS, {3, 2, 2, 0});
    expect_error("dispinvert_vol_f64", 3, {hollow.get(), grid.get(), grid.get(), kernel.get()},
                 "sizeMismatch",
                 "bx (input 1) is 3x2x2x0 and holds 0 elements, not the 12 its first three "
                 "extents give; pass a 3x2x2 array");
    auto plane_grid = standin::make_array(mxDOUBLE_CLASS, {4, 3});
    auto plane_short = standin::make_array(mxDOUBLE_CLASS, {11, 1});
    expect_error("dispinvert_plane_f64", 2, {plane_grid.get(), plane_short.get(), kernel.get()},
                 "sizeMismatch",
                 "by (input 2) has 11 elements; pass at least 12, one per point of the grid of "
                 "bx (input 1)");
    auto hollow_kernel = standin::make_array(mxDOUBLE_CLASS, {3, 3, 3, 0});
    expect_error("dispinvert_vol_f64", 3,
                 {grid.get(), grid.get(), grid.get(), hollow_kernel.get()}, "sizeMismatch",
                 "H (input 4) is 3x3x3x0 and holds 0 elements, not the 27 its first three "
                 "extents give; pass a 3x3x3 array");
    auto plane_hollow_kernel = standin::make_array(mxDOUBLE_CLASS, {3, 3, 0});
    expect_error("dispinvert_plane_f64", 2,
                 {plane_grid.get(), plane_grid.get(), plane_hollow_kernel.get()}, "sizeMismatch",
                 "H (input 3) is 3x3x0 and holds 0 elements, not the 9 its first two extents "
                 "give; pass a 3x3 array");
}

TEST_F(Arguments, ElementCountsBeyond32BitsAreRejected)
{
    // The trailing extent 0 keeps these arrays empty in the host.
    auto huge_grid = standin::make_array(mxSINGLE_CLASS, {65536, 65536, 2, 0});
    auto huge_kernel = standin::make_array(mxSINGLE_CLASS, {65536, 65536, 1, 0});
    auto small = standin::make_array(mxSINGLE_CLASS, {2, 2, 2});
    expect_error("dispinvert_vol_f32", 3,
                 {huge_grid.get(), small.get(), small.get(), small.get()}, "tooLarge",
                 "bx (input 1) is 65536x65536x2x0: its first three extents give more than "
                 "2^31 - 1 elements; pass a smaller array");
    expect_error("dispinvert_vol_f32", 3,
                 {small.get(), small.get(), small.get(), huge_kernel.get()}, "tooLarge",
                 "H (input 4) is 65536x65536x1x0: its first three extents give more than "
                 "2^31 - 1 elements; pass a smaller array");

    auto huge_plane = standin::make_array(mxDOUBLE_CLASS, {65536, 65536, 0});
    auto plane_small = standin::make_array(mxDOUBLE_CLASS, {2, 2});
    expect_error("dispinvert_plane_f64", 2,
                 {plane_small.get(), plane_small.get(), huge_plane.get()}, "tooLarge",
                 "H (input 3) is 65536x65536x0: its first two extents give more than 2^31 - 1 "
                 "elements; pass a smaller array");

    // An extent of 2^31 - 1 fits (another extent 0 leaves nothing to read),
    // in the field and in the kernel.
    auto widest = standin::make_array(mxSINGLE_CLASS, {INT32_MAX, 0});
    auto result = call("dispinvert_vol_f32", 3, {widest.get(), small.get(), small.get(), small.get()});
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.outputs[2].dims(), (std::vector<int>{INT32_MAX, 0}));
    result = call("dispinvert_vol_f32", 3, {small.get(), small.get(), small.get(), widest.get()});
    EXPECT_TRUE(result.ok) << result.message;
    auto widest_plane = standin::make_array(mxDOUBLE_CLASS, {0, INT32_MAX});
    result = call("dispinvert_plane_f64", 2, {widest_plane.get(), plane_small.get(), plane_small.get()});
    EXPECT_TRUE(result.ok) << result.message;
}

// ---- Accepted shapes -------------------------------------------------------

template <class T> std::vector<T> first(const std::vector<T>& values, size_t n)
{
    return std::vector<T>(values.begin(), values.begin() + static_cast<long>(n));
}

TEST_F(Arguments, VolumeReadsMissingExtentsAsOne)
{
    std::mt19937 rng(99);
    const auto bx = random_component<float>(rng, 20, 5);
    const auto by = random_component<float>(rng, 20, 4);
    const auto bz = random_component<float>(rng, 20, 1);
    const auto h = random_kernel<float>(rng, 9);
    // A single-slice field and a 2-D kernel: a one-slice volume and kernel.
    auto ax = standin::make_filled<float>({5, 4}, bx);
    auto ay = standin::make_filled<float>({5, 4}, by);
    auto az = standin::make_filled<float>({5, 4}, bz);
    auto ak = standin::make_filled<float>({3, 3}, h);
    standin::reset_warnings();
    auto result = call("dispinvert_vol_f32", 3, {ax.get(), ay.get(), az.get(), ak.get()});
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_TRUE(testing_support::warned(""));  // fewer extents than read: one slice
    const auto expected = reference::invert_volume<float>(bx, by, bz, 5, 4, 1, h, 3, 3, 1, true);
    EXPECT_TRUE(same_bits(values_of<float>(result.outputs[0]), expected.fx));
    EXPECT_TRUE(same_bits(values_of<float>(result.outputs[1]), expected.fy));
    EXPECT_TRUE(same_bits(values_of<float>(result.outputs[2]), expected.fz));
    EXPECT_EQ(result.outputs[0].dims(), (std::vector<int>{5, 4}));

    // A 2-D kernel on a true volume for the double plug-in as well.
    const auto cx = random_component<double>(rng, 24, 4);
    const auto cy = random_component<double>(rng, 24, 3);
    const auto cz = random_component<double>(rng, 24, 2);
    const auto g = random_kernel<double>(rng, 6);
    auto dx = standin::make_filled<double>({4, 3, 2}, cx);
    auto dy = standin::make_filled<double>({4, 3, 2}, cy);
    auto dz = standin::make_filled<double>({4, 3, 2}, cz);
    auto dk = standin::make_filled<double>({2, 3}, g);
    auto volume = call("dispinvert_vol_f64", 3, {dx.get(), dy.get(), dz.get(), dk.get()});
    ASSERT_TRUE(volume.ok) << volume.message;
    const auto model = reference::invert_volume<double>(cx, cy, cz, 4, 3, 2, g, 2, 3, 1, false);
    EXPECT_TRUE(same_bits(values_of<double>(volume.outputs[0]), model.fx));
    EXPECT_TRUE(same_bits(values_of<double>(volume.outputs[2]), model.fz));
}

TEST_F(Arguments, ExtraDimensionsAndLongerComponentsAreAccepted)
{
    std::mt19937 rng(4242);
    // Volume: a 4-D bx defines the grid by its first three extents; by and bz
    // may hold more elements than the grid.
    const auto bx = random_component<double>(rng, 36, 3);
    const auto by = random_component<double>(rng, 40, 3);
    const auto bz = random_component<double>(rng, 18, 2);
    const auto h = random_kernel<double>(rng, 8);
    auto ax = standin::make_filled<double>({3, 3, 2, 2}, bx);
    auto ay = standin::make_filled<double>({40, 1}, by);
    auto az = standin::make_filled<double>({3, 3, 2}, bz);
    auto ak = standin::make_filled<double>({2, 2, 2}, h);
    standin::reset_warnings();
    auto result = call("dispinvert_vol_f64", 3, {ax.get(), ay.get(), az.get(), ak.get()});
    ASSERT_TRUE(result.ok) << result.message;
    // Carried out with warnings: bx's second volume is not read, and by, a
    // column, is read in bx's layout (partnerShape); a longer by is no
    // mistake in itself.
    const std::vector<standin::Warning> raised = standin::warnings();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised[0].id, "dispinvert_vol_f64:extraSlices");
    EXPECT_EQ(raised[0].message,
              "bx (input 1) has more than one volume: only the first is used; pass a 3-D array");
    EXPECT_EQ(raised[1].id, "dispinvert_vol_f64:partnerShape");
    standin::reset_warnings();
    EXPECT_EQ(result.outputs[0].dims(), (std::vector<int>{3, 3, 2}));
    const auto expected = reference::invert_volume<double>(first(bx, 18), first(by, 18), bz, 3,
                                                           3, 2, h, 2, 2, 2, false);
    EXPECT_TRUE(same_bits(values_of<double>(result.outputs[0]), expected.fx));
    EXPECT_TRUE(same_bits(values_of<double>(result.outputs[1]), expected.fy));

    // Plane: the first plane of a 3-D field and of a 3-D kernel take part.
    const auto px = random_component<double>(rng, 24, 4);
    const auto py = random_component<double>(rng, 24, 3);
    const auto ph = random_kernel<double>(rng, 18);
    auto qx = standin::make_filled<double>({4, 3, 2}, px);
    auto qy = standin::make_filled<double>({4, 3, 2}, py);
    auto qk = standin::make_filled<double>({3, 3, 2}, ph);
    auto plane = call("dispinvert_plane_f64", 2, {qx.get(), qy.get(), qk.get()});
    ASSERT_TRUE(plane.ok) << plane.message;
    EXPECT_TRUE(testing_support::warned(
        "dispinvert_plane_f64:extraSlices",
        "bx (input 1), by (input 2) and H (input 3) have more than one slice each: only the first "
        "of each is used; pass 2-D arrays (the volume plug-ins take volumes)"));
    EXPECT_EQ(plane.outputs[0].dims(), (std::vector<int>{4, 3}));
    const auto model =
        reference::invert_plane(first(px, 12), first(py, 12), 4, 3, first(ph, 9), 3, 3);
    EXPECT_TRUE(same_bits(values_of<double>(plane.outputs[0]), model.fx));
    EXPECT_TRUE(same_bits(values_of<double>(plane.outputs[1]), model.fy));
}

// ---- Refinement ------------------------------------------------------------

// The refinement plug-ins' rejections, each with its message: counts, class,
// a start field on another grid, and unusable steps and tolerances (checked
// in the plug-in's own class: a single 1000.5 is 1000.5).
TEST_F(Arguments, RefinementRejectsUnusableCallsWithTheirFix)
{
    auto d = standin::make_array(mxDOUBLE_CLASS, {3, 2, 2});
    auto f = standin::make_array(mxSINGLE_CLASS, {3, 2, 2});
    auto other = standin::make_array(mxDOUBLE_CLASS, {3, 2, 3});
    auto plane = standin::make_array(mxDOUBLE_CLASS, {4, 3});
    auto row = standin::make_array(mxDOUBLE_CLASS, {12, 1});
    auto none = standin::make_array(mxDOUBLE_CLASS, {0, 0});
    const auto scalar = [](double v) { return standin::make_scalar<double>(v); };
    auto two = scalar(2), zero = scalar(0), one_single = standin::make_scalar<float>(1.0f);
    const char* vol = "dispinvert_refine_vol_f64";
    const char* plane_plugin = "dispinvert_refine_plane_f64";
    const mxArray* D = d.get();

    expect_error(vol, 3, {D, D, D, D, D, D, two.get()}, "nrhs", "Eight inputs are required.");
    expect_error(vol, 2, {D, D, D, D, D, D, two.get(), zero.get()}, "nlhs",
                 "Three to five outputs are required");
    expect_error(vol, 6, {D, D, D, D, D, D, two.get(), zero.get()}, "nlhs",
                 "Three to five outputs are required");
    expect_error(plane_plugin, 5, {plane.get(), plane.get(), plane.get(), plane.get(), two.get(),
                                   zero.get()},
                 "nlhs", "Two to four outputs are required");
    expect_error(plane_plugin, 2, {plane.get()}, "nrhs", "Six inputs are required.");

    expect_error(vol, 3, {D, D, D, D, f.get(), D, two.get(), zero.get()}, "badClass",
                 "Fy0 (input 5) is single; pass double(Fy0)");
    const mxArray* F = f.get();
    expect_error("dispinvert_refine_vol_f32", 3, {F, F, F, F, F, F, one_single.get(), zero.get()},
                 "badClass",
                 "tol (input 8) is double; pass single(0): every input, scalars included, must "
                 "be single");
    expect_error(vol, 3, {D, D, D, D, D, other.get(), two.get(), zero.get()}, "sizeMismatch",
                 "Fz0 (input 6) is 3x2x3; pass a 3x2x2 array, the grid of bx (input 1)");
    expect_error(vol, 3, {D, row.get(), D, D, D, D, two.get(), zero.get()}, "sizeMismatch",
                 "by (input 2) is 12x1; pass a 3x2x2 array, the grid of bx (input 1)");
    expect_error(vol, 3, {D, D, D, D, D, D, none.get(), zero.get()}, "empty",
                 "steps (input 7) is empty; pass a whole number from 0 to 1000");

    for (double steps : {2.5, -1.0, 1001.0, std::nan(""), HUGE_VAL}) {
        auto s = scalar(steps);
        auto result = call(vol, 3, {D, D, D, D, D, D, s.get(), zero.get()});
        EXPECT_EQ(result.id, std::string(vol) + ":badSteps") << steps;
    }
    auto half = scalar(2.5);
    expect_error(plane_plugin, 2, {plane.get(), plane.get(), plane.get(), plane.get(), half.get(),
                                   zero.get()},
                 "badSteps", "steps (input 5) is 2.5; pass a whole number from 0 to 1000");
    for (double tol : {-1e-300, std::nan(""), HUGE_VAL}) {
        auto t = scalar(tol);
        auto result = call(vol, 3, {D, D, D, D, D, D, two.get(), t.get()});
        EXPECT_EQ(result.id, std::string(vol) + ":badTolerance") << tol;
    }
    auto negative = scalar(-0.5);
    expect_error(vol, 3, {D, D, D, D, D, D, two.get(), negative.get()}, "badTolerance",
                 "tol (input 8) is -0.5; pass a finite tolerance of at least 0 (in voxels), e.g. "
                 "1e-4");

    // The limits themselves are accepted: 0 and 1000 steps, tolerance 0.
    for (double steps : {0.0, 1000.0}) {
        auto s = scalar(steps);
        auto result = call(vol, 5, {D, D, D, D, D, D, s.get(), zero.get()});
        EXPECT_TRUE(result.ok) << result.message;
    }
    standin::reset_warnings();
}

}  // namespace
