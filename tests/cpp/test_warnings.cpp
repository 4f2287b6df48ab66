// Which warnings each plug-in raises: every call of the table must raise
// exactly its set of identifiers, no fewer (a call with two mistakes warns
// about both) and no others (a call that is no mistake stays quiet).
//
// A row is a plug-in, the inputs that differ from a sound call of it, and the
// conditions expected; a new warning is a new row (or a condition added to
// the rows whose call now raises it).
#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testing_support;

namespace {

// An input replaced: its dimensions and values, repeated cyclically to fill
// them. The class is the plug-in's element type.
struct Replaced {
    int slot;  // 0-based
    std::vector<int> dims;
    std::vector<double> values;
};

struct Row {
    const char* plugin;
    const char* call;  // what is unusual about it
    std::vector<Replaced> inputs;
    std::vector<std::string> conditions;  // sorted; empty: no warning
};

bool single_precision(const std::string& plugin)
{
    return plugin.compare(plugin.size() - 3, 3, "f32") == 0;
}

standin::Array array_of(const std::string& plugin, const std::vector<int>& dims,
                        const std::vector<double>& values)
{
    const bool single = single_precision(plugin);
    standin::Array array = standin::make_array(single ? mxSINGLE_CLASS : mxDOUBLE_CLASS, dims);
    for (size_t i = 0; i < array.numel() && !values.empty(); ++i) {
        const double v = values[i % values.size()];
        if (single)
            array.data<float>()[i] = static_cast<float>(v);
        else
            array.data<double>()[i] = v;
    }
    return array;
}

// counts[k] copies of values[k], in turn: a census of known shares.
std::vector<double> runs(const std::vector<double>& values, const std::vector<int>& counts)
{
    std::vector<double> out;
    for (size_t k = 0; k < values.size(); ++k) out.insert(out.end(), counts[k], values[k]);
    return out;
}

// Intensities strictly inside the range [0, 1] of every sound call, and
// displacements of a few points.
const std::vector<double> image = {0.1, 0.7, 0.3, 0.9, 0.5};
const std::vector<double> field = {0.25, -1.5, 0.0, 2.0, -0.75};
const std::vector<double> gentle = {0.05, -0.1, 0.0, 0.1, -0.05};

// A sound call of each plug-in: values inside the range and bounds, partners
// of image A's extents, nonzero weights and kernel.
std::vector<Replaced> sound_call(const std::string& plugin)
{
    if (plugin == "remap_plane_f64")
        return {{0, {6, 5}, image}, {1, {6, 5}, image}, {2, {6, 5}, image}, {3, {6, 5}, image},
                {4, {1, 2}, {0, 1}},  {5, {1, 1}, {8}},   {6, {3, 3}, {1}},   {7, {1, 1}, {2}}};
    if (plugin.rfind("remap_vol", 0) == 0)
        return {{0, {6, 5, 4}, image}, {1, {6, 5, 4}, image}, {2, {6, 5, 4}, image},
                {3, {6, 5, 4}, image}, {4, {1, 2}, {0, 1}},    {5, {1, 1}, {8}},
                {6, {3, 3, 3}, {1}},   {7, {1, 1}, {2}}};
    if (plugin == "dispinvert_plane_f64")
        return {{0, {5, 4}, field}, {1, {5, 4}, field}, {2, {2, 2}, {1}}};
    if (plugin.rfind("dispinvert_vol", 0) == 0)
        return {{0, {5, 4, 3}, field}, {1, {5, 4, 3}, field}, {2, {5, 4, 3}, field},
                {3, {2, 2, 2}, {1}}};
    // invert_field: a gentle field (it converges in a few steps), the
    // kernel 1, 50 steps, tolerance 1e-6, the fixed point, 2 threads.
    if (plugin == "invert_field_plane_f64")
        return {{0, {5, 4}, gentle}, {1, {5, 4}, gentle}, {2, {1, 1}, {1}}, {3, {1, 1}, {50}},
                {4, {1, 1}, {1e-6}}, {5, {1, 1}, {0}},    {6, {1, 1}, {2}}};
    if (plugin.rfind("invert_field_vol", 0) == 0)
        return {{0, {5, 4, 3}, gentle}, {1, {5, 4, 3}, gentle}, {2, {5, 4, 3}, gentle},
                {3, {1, 1}, {1}},       {4, {1, 1}, {50}},      {5, {1, 1}, {1e-6}},
                {6, {1, 1}, {0}},       {7, {1, 1}, {2}}};
    return {{0, {1, 20}, image}, {1, {1, 20}, image}, {2, {1, 1}, {0}}, {3, {1, 1}, {1}},
            {4, {1, 1}, {8}}};
}

// invert_field's compiled calls report as invert_field.
std::string reporter(const std::string& plugin)
{
    return plugin.rfind("invert_field_", 0) == 0 ? "invert_field" : plugin;
}

int output_count(const std::string& plugin)
{
    if (plugin.rfind("jointbins", 0) == 0) return 3;
    if (plugin.rfind("invert_field_", 0) == 0) return plugin == "invert_field_plane_f64" ? 3 : 4;
    return plugin == "dispinvert_vol_f64" || plugin == "dispinvert_vol_f32" ? 3 : 2;
}

const Row rows[] = {
    // Sound calls raise nothing.
    {"remap_vol_f64", "sound", {}, {}},
    {"remap_vol_f32", "sound", {}, {}},
    {"remap_plane_f64", "sound", {}, {}},
    {"dispinvert_vol_f64", "sound", {}, {}},
    {"dispinvert_vol_f32", "sound", {}, {}},
    {"dispinvert_plane_f64", "sound", {}, {}},
    {"jointbins_f64", "sound", {}, {}},
    {"jointbins_f32", "sound", {}, {}},
    {"invert_field_vol_f64", "sound", {}, {}},
    {"invert_field_vol_f32", "sound", {}, {}},
    {"invert_field_plane_f64", "sound", {}, {}},

    // Weights or a kernel that are all negative still gather and spread.
    {"remap_vol_f64", "negative weights", {{6, {3, 3, 3}, {-1, -0.5}}}, {}},
    {"remap_vol_f32", "negative weights", {{6, {3, 3, 3}, {-1}}}, {}},
    {"remap_plane_f64", "negative weights", {{6, {3, 3}, {-2}}}, {}},
    {"dispinvert_vol_f64", "negative kernel", {{3, {2, 2, 2}, {-1}}}, {}},
    {"dispinvert_plane_f64", "negative kernel", {{2, {2, 2}, {-0.5}}}, {}},

    // Partners that are vectors of the first input's length, in the other
    // orientation, line up all the same.
    {"jointbins_f64", "row and column", {{1, {20, 1}, image}}, {}},

    // One mistake.
    {"remap_vol_f32", "zero weights", {{6, {3, 3, 3}, {0}}}, {"zeroWeights"}},
    {"remap_vol_f64", "a 4-D weights", {{6, {3, 3, 3, 2}, {1}}}, {"extraSlices"}},
    {"dispinvert_vol_f32", "zero kernel", {{3, {2, 2, 2}, {0}}}, {"zeroKernel"}},
    {"jointbins_f64", "equal bounds", {{2, {1, 1}, {0.5}}, {3, {1, 1}, {0.5}}}, {"equalBounds"}},
    {"jointbins_f32", "infinite bound", {{3, {1, 1}, {INFINITY}}}, {"nonFiniteBounds"}},
    // Reversed bounds are not equal bounds, nor samples outside them.
    {"jointbins_f64", "reversed bounds", {{2, {1, 1}, {1}}, {3, {1, 1}, {0}}}, {"reversedBounds"}},
    {"jointbins_f32", "reversed bounds", {{2, {1, 1}, {1}}, {3, {1, 1}, {0}}}, {"reversedBounds"}},
    // No samples: nothing else is said, not even about the bounds.
    {"jointbins_f64", "empty images, equal bounds",
     {{0, {0, 0}, {}}, {1, {0, 0}, {}}, {2, {1, 1}, {0.5}}, {3, {1, 1}, {0.5}}}, {"noSamples"}},
    {"jointbins_f32", "most samples above upper", {{1, {1, 20}, {-5, 7, 9}}}, {"outOfBounds"}},
    {"jointbins_f64", "image2 of other extents", {{1, {4, 5}, image}}, {"partnerShape"}},
    {"remap_vol_f64", "integer intensities against [0 1]", {{0, {6, 5, 4}, {2, 3, 200}}}, {"outOfRange"}},
    {"remap_vol_f32", "B transposed", {{1, {5, 6, 4}, image}}, {"partnerShape"}},
    {"jointbins_f64", "image2 with a slice more than image1",
     {{0, {4, 5}, image}, {1, {4, 5, 2}, image}}, {"partnerShape"}},

    // Mostly outside means more than half of the finite values: exactly half
    // is no mistake; NaN counts on neither side.
    {"remap_plane_f64", "half of A outside the range", {{0, {6, 5}, {0.5, 2}}}, {}},
    {"remap_plane_f64", "14 of A's 28 finite values outside, 2 NaN",
     {{0, {6, 5}, runs({NAN, 2, 0.5}, {2, 14, 14})}}, {}},
    {"remap_plane_f64", "15 of A's 28 finite values outside, 2 NaN",
     {{0, {6, 5}, runs({NAN, 2, 0.5}, {2, 15, 13})}}, {"outOfRange"}},
    {"jointbins_f32", "half of image2 above upper", {{1, {1, 20}, {2, 0.5}}}, {}},
    {"jointbins_f64", "10 of image1's 18 finite samples above upper, 2 NaN",
     {{0, {1, 20}, runs({NAN, 2, 0.5}, {2, 10, 8})}}, {"outOfBounds"}},
    // A sample equal to upper lies inside the bounds, also where its bin
    // position rounds just above the last bin (7.000000000000001, and
    // 10.000001 in single precision).
    {"jointbins_f64", "every sample at upper, positions rounded above the bins",
     {{0, {1, 20}, {0.7}}, {1, {1, 20}, {0.7}}, {2, {1, 1}, {0.1}}, {3, {1, 1}, {0.7}}, {4, {1, 1}, {7}}},
     {}},
    {"jointbins_f32", "every sample at upper, positions rounded above the bins",
     {{0, {1, 20}, {0.7}}, {1, {1, 20}, {0.7}}, {2, {1, 1}, {0.1}}, {3, {1, 1}, {0.7}}, {4, {1, 1}, {10}}},
     {}},

    // Images that fill a sliver of the range or bounds (less than 1/32 of
    // it, each value clamped to it), and the calls just short of that.
    {"remap_vol_f64", "images in [0 1] against [0 255]", {{4, {1, 2}, {0, 255}}}, {"narrowData"}},
    {"remap_plane_f64", "D spans 1 % of the range", {{3, {6, 5}, {0.5, 0.51}}}, {"narrowData"}},
    {"remap_vol_f32", "D spans 4 % of the range", {{3, {6, 5, 4}, {0.5, 0.54}}}, {}},
    {"remap_vol_f64", "A of one value", {{0, {6, 5, 4}, {0.5}}}, {}},
    // NaN between A's low and high values in every lane of the census's
    // vector pass: a NaN must leave the running extremes as they are.
    {"remap_vol_f64", "A spans the range, NaN after its lows",
     {{0, {6, 5, 4}, {0, 0, .95, .95, NAN, NAN, .95, .95, .94, .94, .95, .95}}}, {}},
    {"remap_plane_f64", "D below the range but for a sliver",
     {{3, {6, 5}, {-3, -2, 0.01}}}, {"outOfRange"}},
    {"jointbins_f64", "images in [0 1], upper 255", {{3, {1, 1}, {255}}}, {"narrowData"}},
    {"jointbins_f64", "image2 above the bounds but for a sliver", {{1, {1, 20}, {2, 3, 0.99}}},
     {"outOfBounds"}},
    {"jointbins_f32", "image2 spans 2 % of the bounds", {{1, {1, 20}, {0.3, 0.32}}}, {"narrowData"}},
    {"jointbins_f64", "a binary image2", {{1, {1, 20}, {0, 1}}}, {}},
    {"jointbins_f64", "image2 spans 4 % of the bounds", {{1, {1, 20}, {0.3, 0.34}}}, {}},
    // bins x bins far beyond the samples, and the calls short of it.
    {"jointbins_f64", "2000 bins for 20 samples", {{4, {1, 1}, {2000}}}, {"manyBins"}},
    {"jointbins_f32", "1024 bins for 20 samples", {{4, {1, 1}, {1024}}}, {}},
    {"jointbins_f64", "1100 bins for 20000 samples",
     {{0, {100, 200}, image}, {1, {100, 200}, image}, {4, {1, 1}, {1100}}}, {}},
    // Field components of other extents than bx.
    {"dispinvert_plane_f64", "by transposed", {{1, {4, 5}, field}}, {"partnerShape"}},
    {"dispinvert_vol_f64", "[by; by]", {{1, {10, 4, 3}, field}}, {"partnerShape"}},
    {"dispinvert_vol_f32", "bz a column of the grid's length", {{2, {60, 1}, field}}, {"partnerShape"}},
    // invert_field: points that cannot be refined are named (and the field
    // is not converged), whether b is not finite where they read it or the
    // splat is not (a NaN kernel element); too few steps are named apart.
    {"invert_field_vol_f64", "a NaN in b", {{0, {5, 4, 3}, {0.05, NAN, 0.0, 0.1}}}, {"unrefined"}},
    {"invert_field_vol_f32", "a NaN kernel", {{3, {1, 1}, {NAN}}}, {"unrefined"}},
    {"invert_field_plane_f64", "one step, tolerance 0",
     {{3, {1, 1}, {1}}, {4, {1, 1}, {0}}}, {"notConverged"}},
    {"invert_field_plane_f64", "zero steps, tolerance 0", {{3, {1, 1}, {0}}, {4, {1, 1}, {0}}}, {}},
    {"invert_field_plane_f64", "one point, and it unrefined",
     {{0, {1, 1}, {NAN}}, {1, {1, 1}, {0}}}, {"unrefined"}},

    // Two mistakes in one call: both are reported.
    {"remap_plane_f64",
     "3-D images and zero weights",
     {{0, {6, 5, 2}, image}, {1, {6, 5, 2}, image}, {2, {6, 5, 2}, image}, {3, {6, 5, 2}, image},
      {6, {3, 3}, {0}}},
     {"extraSlices", "zeroWeights"}},
    {"remap_vol_f32",
     "4-D weights, all zero",
     {{6, {3, 3, 3, 2}, {0}}},
     {"extraSlices", "zeroWeights"}},
    {"dispinvert_plane_f64",
     "3-D field and zero kernel",
     {{0, {5, 4, 2}, field}, {1, {5, 4, 2}, field}, {2, {2, 2}, {0}}},
     {"extraSlices", "zeroKernel"}},
    {"dispinvert_vol_f64",
     "4-D kernel, all zero",
     {{3, {2, 2, 2, 3}, {0}}},
     {"extraSlices", "zeroKernel"}},
    {"invert_field_vol_f64",
     "zero kernel, infinite b",
     {{3, {1, 1}, {0}}, {1, {5, 4, 3}, {0.05, INFINITY}}},
     {"unrefined", "zeroKernel"}},
    {"remap_plane_f64",
     "C transposed, D out of range",
     {{2, {5, 6}, image}, {3, {6, 5}, {2, 3, 200}}},
     {"outOfRange", "partnerShape"}},
};

TEST(Warnings, EachCallRaisesExactlyItsSet)
{
    standin::set_thread_count(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.plugin) + ", " + row.call);
        std::vector<Replaced> call_inputs = sound_call(row.plugin);
        for (const Replaced& r : row.inputs) call_inputs[r.slot] = r;
        Inputs in;
        for (const Replaced& r : call_inputs) in.add(array_of(row.plugin, r.dims, r.values));

        standin::reset_warnings();
        const standin::CallResult result = call(row.plugin, output_count(row.plugin), in);
        ASSERT_TRUE(result.ok) << result.id << ": " << result.message;
        std::vector<std::string> raised;
        for (const standin::Warning& w : standin::warnings()) {
            const std::string prefix = reporter(row.plugin) + ":";
            EXPECT_EQ(w.id.compare(0, prefix.size(), prefix), 0) << w.id;
            EXPECT_FALSE(w.message.empty()) << w.id;
            raised.push_back(w.id.substr(std::min(prefix.size(), w.id.size())));
        }
        std::sort(raised.begin(), raised.end());
        EXPECT_EQ(raised, row.conditions);
    }
    standin::reset_warnings();
}

// The common call remap(A, D, A, D): the census counts each image once and
// the warning names each once, under the first input that passed it.
TEST(Warnings, ImagePassedTwiceIsNamedOnce)
{
    const standin::Array a = array_of("remap_plane_f64", {6, 5}, {0.5, 2, 3});
    const standin::Array d = array_of("remap_plane_f64", {6, 5}, {0.5, -1, -2});
    Inputs settings;
    for (const Replaced& r : sound_call("remap_plane_f64"))
        if (r.slot >= 4) settings.add(array_of("remap_plane_f64", r.dims, r.values));
    std::vector<const mxArray*> in = {a.get(), d.get(), a.get(), d.get()};
    for (const mxArray* p : settings.pointers()) in.push_back(p);
    standin::reset_warnings();
    const standin::CallResult result = standin::call("remap_plane_f64", 2, in);
    ASSERT_TRUE(result.ok) << result.id << ": " << result.message;
    ASSERT_EQ(standin::warning_count(), 1);
    const standin::Warning w = standin::last_warning();
    EXPECT_EQ(w.id, "remap_plane_f64:outOfRange");
    const auto times = [&w](const std::string& name) {
        int n = 0;
        for (size_t at = w.message.find(name); at != std::string::npos; at = w.message.find(name, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(times("A (input 1) has 66 %"), 1) << w.message;
    EXPECT_EQ(times("B (input 2) 66 %"), 1) << w.message;
    EXPECT_EQ(times("(input 3)") + times("(input 4)"), 0) << w.message;
    standin::reset_warnings();
}

}  // namespace
