// libFuzzer target for jointbins_f64 and jointbins_f32.
//
// The bytes pick the plug-in, the counts, each input's class and shape (the
// second image usually holds as many elements as the first, in another
// shape), the bounds (U < L, U = L, infinite, NaN, huge), the bin-count value
// (fractional, below 1, beyond 46340) and the samples (NaN, infinities, far
// outside the range). Bin counts that are valid but large are lowered so that
// one call stays within milliseconds.
#include <cmath>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

namespace {

using fuzz::pick_value;

template <class T>
void fuzz_jointbins(const std::string& plugin, FuzzedDataProvider& in)
{
    const int nrhs = fuzz::pick_count(in, 5, 7);
    const int nlhs = fuzz::pick_count(in, 3, 4);

    const double lower = pick_value(in, 0.0, 1.0);
    const double upper = lower + pick_value(in, 8.0, -1.0);
    const uint8_t bins_kind = in.ConsumeIntegral<uint8_t>();
    double bins = bins_kind < 200 ? 1 + bins_kind % 40 : pick_value(in, 0.5, 40.0);
    const double stored_bins = static_cast<T>(bins);
    if (stored_bins > 300 && stored_bins < 46341) bins = 300 + std::fmod(stored_bins, 1.0);

    const std::vector<int> first = fuzz::pick_shape(in, {9, 8}, 20, 4000);
    const long count = fuzz::element_count(first);
    std::vector<int> second = fuzz::pick_shape(in, {8, 9}, 20, 4000);
    if (in.ConsumeIntegral<uint8_t>() < 240) second = {static_cast<int>(count)};  // same count
    const double lo = std::isfinite(upper - lower) ? std::min(lower, upper) - 2 : -1.0;
    const double hi = std::isfinite(upper - lower) ? std::max(lower, upper) + 2 : 2.0;
    const std::vector<double> first_values = fuzz::pick_values(in, count, lo, hi);
    const std::vector<double> second_values =
        fuzz::pick_values(in, fuzz::element_count(second), lo, hi);

    std::vector<standin::Array> inputs;
    inputs.push_back(fuzz::make_input<T>(in, first, first_values));
    inputs.push_back(fuzz::make_input<T>(in, second, second_values));
    inputs.push_back(fuzz::make_scalar_input<T>(in, lower));
    inputs.push_back(fuzz::make_scalar_input<T>(in, upper));
    inputs.push_back(fuzz::make_scalar_input<T>(in, bins));
    while (static_cast<int>(inputs.size()) > nrhs) inputs.pop_back();
    while (static_cast<int>(inputs.size()) < nrhs) inputs.push_back(standin::make_scalar<T>(1));

    const standin::CallResult r = fuzz::checked_call(plugin, nlhs, inputs, 3, standin::class_of<T>());
    if (!r.ok) return;

    const int b = static_cast<int>(static_cast<T>(bins));
    fuzz::expect_dims(plugin, r.outputs[0], {b, b});
    fuzz::expect_dims(plugin, r.outputs[1], {b, 1});
    fuzz::expect_dims(plugin, r.outputs[2], {b, 1});

    // Every sample adds weights >= 0 that sum to at most 1, and the sums are
    // divided by N: each output holds values in [0, 1] summing to at most 1,
    // or only NaN when there is no sample.
    for (int k = 0; k < 3; ++k) {
        const std::vector<T> values = r.outputs[k].values<T>();
        double sum = 0;
        for (T v : values) {
            if (count == 0) {
                if (!std::isnan(v)) fuzz::violated(plugin, "no sample, yet a value is not NaN");
                continue;
            }
            if (!(v >= 0 && v <= 1 + 1e-3))
                fuzz::violated(plugin, "output " + std::to_string(k + 1) + " holds " +
                                           fuzz::text(v) + " with L " + fuzz::text(static_cast<T>(lower)) +
                                           ", U " + fuzz::text(static_cast<T>(upper)) + ", K " +
                                           fuzz::text(static_cast<T>(bins)) + ", N " +
                                           std::to_string(count));
            sum += v;
        }
        if (count > 0 && !(sum <= 1 + 1e-3))
            fuzz::violated(plugin, "output " + std::to_string(k + 1) + " sums to " +
                                       std::to_string(sum));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::preload({"jointbins_f64", "jointbins_f32"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    standin::set_thread_count(fuzz::pick_thread_count(in));
    if (in.ConsumeBool())
        fuzz_jointbins<float>("jointbins_f32", in);
    else
        fuzz_jointbins<double>("jointbins_f64", in);
    return 0;
}
