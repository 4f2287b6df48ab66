// libFuzzer target for remap_vol_f32, remap_vol_f64 and remap_plane_f64.
//
// The bytes pick the plug-in, the counts, each input's class and shape (the
// images usually share A's shape), the range, bins, window and spacing, the
// values (NaN, infinities, huge, denormal and out-of-range values among them)
// and the host's thread count. Sizes are kept small so that one call stays
// within milliseconds; settings that would make a valid call slow (a tiny
// spacing over a large image, thousands of bins for many workers) are
// replaced, but never those the plug-in must refuse.
#include <cmath>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

namespace {

using fuzz::pick_value;

// Blocks along the first d axes for a spacing, as the gateway counts them.
double block_grid(const std::vector<int>& image, int d, double spacing, double* last_axis)
{
    double blocks = 1;
    for (int axis = 0; axis < d; ++axis) {
        const double g = std::ceil(image[axis] / spacing);
        if (axis == d - 1) *last_axis = g;
        blocks *= g;
    }
    return blocks;
}

template <class T, int D>
void fuzz_remap(const std::string& plugin, FuzzedDataProvider& in)
{
    const int nrhs = fuzz::pick_count(in, 8, 10);
    const int nlhs = fuzz::pick_count(in, 2, 4);
    standin::set_thread_count(fuzz::pick_thread_count(in));

    const double min = pick_value(in, 0.0, 1.0);
    const double width = pick_value(in, 1.0, -0.5);
    const double max = min + width;

    const std::vector<int> image_typical = D == 3 ? std::vector<int>{6, 5, 4} : std::vector<int>{9, 7};
    const std::vector<int> image = fuzz::pick_shape(in, image_typical, 14, 1200);
    const double lo = std::isfinite(width) ? min - 0.25 * width : -1.0;
    const double hi = std::isfinite(width) ? max + 0.25 * width : 2.0;

    std::vector<std::vector<double>> image_values(4);
    std::vector<std::vector<int>> image_dims(4, image);
    for (int k = 0; k < 4; ++k) {
        if (k > 0 && in.ConsumeIntegral<uint8_t>() >= 240)
            image_dims[k] = fuzz::pick_shape(in, image, 14, 1200);  // another size
        image_values[k] = fuzz::pick_values(in, fuzz::element_count(image_dims[k]), lo, hi);
    }

    const uint8_t bins_kind = in.ConsumeIntegral<uint8_t>();
    double bins = bins_kind < 200 ? 2 + bins_kind % 63 : pick_value(in, 2.0, 64.0);
    const std::vector<int> window = fuzz::pick_shape(in, D == 3 ? std::vector<int>{3, 3, 3}
                                                                : std::vector<int>{5, 4},
                                                     7, 216);
    const std::vector<double> weights = fuzz::pick_values(in, fuzz::element_count(window), 0.0, 1.0);
    const uint8_t spacing_kind = in.ConsumeIntegral<uint8_t>();
    double spacing = spacing_kind < 200 ? 2 + spacing_kind % 5 : pick_value(in, 0.3, 9.0);

    // Keep valid calls fast: the work is blocks x window positions, and every
    // worker owns two bins x bins histograms.
    const double stored_spacing = static_cast<T>(spacing);
    if (std::isfinite(stored_spacing) && stored_spacing > 0) {
        const std::vector<int> extents = fuzz::leading(fuzz::host_dims(image), D);
        double layers = 0;
        const double blocks = block_grid(extents, D, stored_spacing, &layers);
        const double positions = std::max<long>(1, fuzz::element_count(fuzz::leading(window, D)));
        if (blocks <= 2147483647.0 && (blocks > 20000 || blocks * positions > 200000)) {
            spacing = 4;
            block_grid(extents, D, 4.0, &layers);
        }
        if (standin::thread_count() > 16 && layers > 16) standin::set_thread_count(16);
    }
    const double stored_bins = static_cast<T>(bins);
    if (stored_bins > 256 && stored_bins <= 46340 && std::floor(stored_bins) == stored_bins) bins = 256;

    std::vector<standin::Array> inputs;
    for (int k = 0; k < 4; ++k) inputs.push_back(fuzz::make_input<T>(in, image_dims[k], image_values[k]));
    const uint8_t range_kind = in.ConsumeIntegral<uint8_t>();
    std::vector<int> range_dims = {1, 2};
    if (range_kind >= 236) range_dims = {1, range_kind % 4};
    std::vector<double> range_values = {min, max, pick_value(in, -1.0, 1.0)};
    inputs.push_back(fuzz::make_input<T>(in, range_dims, range_values));
    inputs.push_back(fuzz::make_scalar_input<T>(in, bins));
    inputs.push_back(fuzz::make_input<T>(in, window, weights));
    inputs.push_back(fuzz::make_scalar_input<T>(in, spacing));
    while (static_cast<int>(inputs.size()) > nrhs) inputs.pop_back();
    while (static_cast<int>(inputs.size()) < nrhs) inputs.push_back(standin::make_scalar<T>(1));

    const standin::CallResult r = fuzz::checked_call(plugin, nlhs, inputs, 2, standin::class_of<T>());
    if (!r.ok) return;

    // Outputs take A's dimension vector, cut to the plug-in's dimensionality.
    std::vector<int> a_dims = fuzz::host_dims(image);
    if (static_cast<int>(a_dims.size()) > D) a_dims.resize(D);
    const std::vector<int> expected = fuzz::host_dims(a_dims);
    fuzz::expect_dims(plugin, r.outputs[0], expected);
    fuzz::expect_dims(plugin, r.outputs[1], expected);

    // With a whole-number spacing the blocks cover the image: each value is
    // NaN exactly where the mapped image is NaN, and otherwise in [min, max]
    // (up to the rounding of the bin scale).
    const double t_min = static_cast<T>(min), t_max = static_cast<T>(max);
    const double t_spacing = static_cast<T>(spacing);
    if (std::floor(t_spacing) != t_spacing) return;
    const double tolerance = 1e-5 * (t_max - t_min);
    const long n = fuzz::element_count(expected);
    for (int k = 0; k < 2; ++k) {
        const T* out = r.outputs[k].data<T>();
        const T* source = inputs[k].data<T>();  // A for out_a, B for out_b
        for (long q = 0; q < n; ++q) {
            const bool nan_in = std::isnan(source[q]);
            if (nan_in != std::isnan(out[q]) ||
                (!nan_in && !(out[q] >= t_min - tolerance && out[q] <= t_max + tolerance)))
                fuzz::violated(plugin, "output " + std::to_string(k + 1) + " element " +
                                           std::to_string(q) + " maps " + fuzz::text(source[q]) +
                                           " to " + fuzz::text(out[q]) + " with range [" +
                                           fuzz::text(t_min) + " " + fuzz::text(t_max) +
                                           "], bins " + fuzz::text(bins) + ", spacing " +
                                           fuzz::text(t_spacing));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::preload({"remap_vol_f32", "remap_vol_f64", "remap_plane_f64"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: fuzz_remap<double, 3>("remap_vol_f64", in); break;
    case 1: fuzz_remap<float, 3>("remap_vol_f32", in); break;
    default: fuzz_remap<double, 2>("remap_plane_f64", in); break;
    }
    return 0;
}
