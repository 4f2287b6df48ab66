// libFuzzer target for dispinvert_vol_f64, dispinvert_vol_f32 and
// dispinvert_plane_f64, for their refinement plug-ins and for invert_field's
// compiled calls (invert_field_vol_f64, _vol_f32, _plane_f64).
//
// The bytes pick the plug-in, the counts, each component's and the kernel's
// class and shape (0 to 4 dimensions, empty extents, components smaller than
// the grid), the displacements (fractional, out of the grid, NaN, infinite,
// beyond the int32 range) and the kernel's values (negative ones included).
// Grid and kernel stay small so that one call takes milliseconds.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_support.h"

namespace {

using fuzz::pick_value;

template <class T, int N>
void fuzz_dispinvert(const std::string& plugin, FuzzedDataProvider& in)
{
    const int nrhs = fuzz::pick_count(in, N + 1, 6);
    const int nlhs = fuzz::pick_count(in, N, 4);
    standin::set_thread_count(fuzz::pick_thread_count(in));

    const std::vector<int> grid_typical = N == 3 ? std::vector<int>{7, 6, 5} : std::vector<int>{12, 9};
    const std::vector<int> grid = fuzz::pick_shape(in, grid_typical, 16, 1500);
    const std::vector<int> kernel_typical = N == 3 ? std::vector<int>{3, 3, 3} : std::vector<int>{3, 2};
    std::vector<int> kernel = fuzz::pick_shape(in, kernel_typical, 6, 125);
    // Work is grid points x kernel elements x corners: keep it small.
    while (fuzz::element_count(grid) * fuzz::element_count(kernel) > 40000)
        *std::max_element(kernel.begin(), kernel.end()) /= 2;

    std::vector<standin::Array> inputs;
    std::vector<std::vector<double>> components(N);
    bool moderate = true;  // finite displacements of moderate size everywhere
    for (int a = 0; a < N; ++a) {
        std::vector<int> dims = grid;
        if (a > 0 && in.ConsumeIntegral<uint8_t>() >= 240)
            dims = fuzz::pick_shape(in, grid, 16, 1500);  // another size
        components[a] = fuzz::pick_values(in, fuzz::element_count(dims), -3.0, 3.0);
        for (double v : components[a]) moderate = moderate && std::fabs(v) <= 1e6;
        inputs.push_back(fuzz::make_input<T>(in, dims, components[a]));
    }
    const std::vector<double> kernel_values =
        fuzz::pick_values(in, fuzz::element_count(kernel), 0.0, 1.0);
    bool positive_kernel = true;
    for (double v : kernel_values)
        positive_kernel = positive_kernel && v >= 0 && v <= 1e6 && !std::signbit(v);
    inputs.push_back(fuzz::make_input<T>(in, kernel, kernel_values));
    while (static_cast<int>(inputs.size()) > nrhs) inputs.pop_back();
    while (static_cast<int>(inputs.size()) < nrhs) inputs.push_back(standin::make_scalar<T>(0));

    const standin::CallResult r = fuzz::checked_call(plugin, nlhs, inputs, N, standin::class_of<T>());
    if (!r.ok) return;

    const std::vector<int> expected = fuzz::host_dims(fuzz::leading(fuzz::host_dims(grid), N));
    for (int a = 0; a < N; ++a) fuzz::expect_dims(plugin, r.outputs[a], expected);

    // With weights that are all >= 0, each output is a weighted mean of
    // carried displacements (shrunk a little by the 1e-8): it never exceeds
    // the largest of them in magnitude.
    if (!moderate || !positive_kernel) return;
    const long n = fuzz::element_count(expected);
    for (int a = 0; a < N; ++a) {
        double largest = 0;
        for (long k = 0; k < n; ++k)
            largest = std::max(largest, std::fabs(static_cast<double>(static_cast<T>(components[a][k]))));
        const T* out = r.outputs[a].data<T>();
        for (long k = 0; k < n; ++k)
            if (!(std::fabs(static_cast<double>(out[k])) <= largest * (1 + 1e-3)))
                fuzz::violated(plugin, "output " + std::to_string(a + 1) + " element " +
                                           std::to_string(k) + " = " + std::to_string(out[k]) +
                                           " exceeds the largest displacement " +
                                           std::to_string(largest));
    }
}

// A refinement: b's and the start field's components (another shape now and
// then), a step count (usually 0 to 5; fractional, negative, too many, NaN)
// and a tolerance (special values included), 0 to N + 3 outputs. What every
// success must give: the grid's shape, no more steps than asked, and each
// point either its start value (bit for bit) or minus a weighted mean of b,
// never larger than b's largest finite value.
template <class T, int N>
void fuzz_refine(const std::string& plugin, FuzzedDataProvider& in)
{
    const int nrhs = fuzz::pick_count(in, 2 * N + 2, 10);
    const int nlhs = in.ConsumeIntegral<uint8_t>() < 240 ? in.ConsumeIntegralInRange<int>(N, N + 2)
                                                          : in.ConsumeIntegralInRange<int>(0, N + 3);
    standin::set_thread_count(fuzz::pick_thread_count(in));
    const std::vector<int> typical = N == 3 ? std::vector<int>{7, 6, 5} : std::vector<int>{12, 9};
    const std::vector<int> grid = fuzz::pick_shape(in, typical, 16, 1500);

    std::vector<standin::Array> inputs;
    std::vector<std::vector<double>> values(2 * N);
    for (int a = 0; a < 2 * N; ++a) {
        std::vector<int> dims = grid;
        if (a > 0 && in.ConsumeIntegral<uint8_t>() >= 240) dims = fuzz::pick_shape(in, grid, 16, 1500);
        values[a] = fuzz::pick_values(in, fuzz::element_count(dims), -3.0, 3.0);
        inputs.push_back(fuzz::make_input<T>(in, dims, values[a]));
    }
    static const double step_counts[] = {0, 1, 2, 3, 4, 5, 2.5, -1, 1001, 1e300,
                                         std::numeric_limits<double>::quiet_NaN()};
    const double steps = in.ConsumeIntegral<uint8_t>() < 200 ? in.ConsumeIntegralInRange<int>(0, 5)
                                                              : in.PickValueInArray(step_counts);
    inputs.push_back(fuzz::make_scalar_input<T>(in, steps));
    inputs.push_back(fuzz::make_scalar_input<T>(in, pick_value(in, 0.0, 0.5)));
    while (static_cast<int>(inputs.size()) > nrhs) inputs.pop_back();
    while (static_cast<int>(inputs.size()) < nrhs) inputs.push_back(standin::make_scalar<T>(0));

    const int expected = nlhs >= N && nlhs <= N + 2 ? nlhs : N + 2;
    const standin::CallResult r = fuzz::checked_call(plugin, nlhs, inputs, expected, standin::class_of<T>());
    if (!r.ok) return;

    const std::vector<int> shape = fuzz::host_dims(fuzz::leading(fuzz::host_dims(grid), N));
    for (int k = 0; k < nlhs && k <= N; ++k) fuzz::expect_dims(plugin, r.outputs[k], shape);
    if (nlhs == N + 2 && !(static_cast<double>(r.outputs[N + 1].data<T>()[0]) <= steps))
        fuzz::violated(plugin, "more steps done than asked for");
    const long n = fuzz::element_count(shape);
    double largest = 0;
    for (int a = 0; a < N; ++a)
        for (long k = 0; k < n; ++k) {
            const double v = std::fabs(static_cast<double>(static_cast<T>(values[a][k])));
            if (std::isfinite(v)) largest = std::max(largest, v);
        }
    for (int a = 0; a < N; ++a) {
        const T* out = r.outputs[a].data<T>();
        for (long k = 0; k < n; ++k) {
            const T start = static_cast<T>(values[N + a][k]);
            if (std::memcmp(&out[k], &start, sizeof(T)) == 0) continue;
            if (!(std::fabs(static_cast<double>(out[k])) <= largest * (1 + 1e-6)))
                fuzz::violated(plugin, "output " + std::to_string(a + 1) + " element " +
                                           std::to_string(k) + " = " + std::to_string(out[k]) +
                                           " is neither its start value nor within b's values");
        }
    }
}

// invert_field's compiled call: b (a component of another shape now and
// then), a kernel, steps, tolerance, method and threads (special values of
// each now and then). What every success must give: the grid's shape, a
// summary that agrees with itself and, for the fixed point, the bits of
// the splat plug-in followed by the refinement plug-in on the same inputs.
template <class T, int N>
void fuzz_invert(const std::string& plugin, const std::string& splat, const std::string& refine,
                 FuzzedDataProvider& in)
{
    const int nrhs = fuzz::pick_count(in, N + 5, 10);
    const int nlhs = fuzz::pick_count(in, N + 1, 5);
    const std::vector<int> typical = N == 3 ? std::vector<int>{7, 6, 5} : std::vector<int>{12, 9};
    const std::vector<int> grid = fuzz::pick_shape(in, typical, 16, 1500);
    std::vector<int> kernel = fuzz::pick_shape(in, std::vector<int>(N, 2), 4, 27);

    std::vector<standin::Array> inputs;
    for (int a = 0; a < N; ++a) {
        std::vector<int> dims = grid;
        if (a > 0 && in.ConsumeIntegral<uint8_t>() >= 240) dims = fuzz::pick_shape(in, grid, 16, 1500);
        inputs.push_back(fuzz::make_input<T>(in, dims, fuzz::pick_values(in, fuzz::element_count(dims), -2.0, 2.0)));
    }
    inputs.push_back(fuzz::make_input<T>(in, kernel, fuzz::pick_values(in, fuzz::element_count(kernel), 0.0, 1.0)));
    static const double step_counts[] = {2.5, -1, 1001, std::numeric_limits<double>::quiet_NaN()};
    const double steps = in.ConsumeIntegral<uint8_t>() < 220 ? in.ConsumeIntegralInRange<int>(0, 5)
                                                              : in.PickValueInArray(step_counts);
    inputs.push_back(fuzz::make_scalar_input<T>(in, steps));
    inputs.push_back(fuzz::make_scalar_input<T>(in, pick_value(in, 0.0, 0.5)));
    static const double methods[] = {0, 1, 2, -1, 0.5, std::numeric_limits<double>::quiet_NaN()};
    const double method = in.ConsumeIntegral<uint8_t>() < 220 ? in.ConsumeIntegralInRange<int>(0, 1)
                                                               : in.PickValueInArray(methods);
    inputs.push_back(fuzz::make_scalar_input<T>(in, method));
    static const double thread_counts[] = {0, -2, 1.5, 1e9, std::numeric_limits<double>::infinity()};
    inputs.push_back(fuzz::make_scalar_input<T>(
        in, in.ConsumeIntegral<uint8_t>() < 220 ? fuzz::pick_thread_count(in)
                                                : in.PickValueInArray(thread_counts)));
    while (static_cast<int>(inputs.size()) > nrhs) inputs.pop_back();
    while (static_cast<int>(inputs.size()) < nrhs) inputs.push_back(standin::make_scalar<T>(0));

    const standin::CallResult r = fuzz::checked_call(plugin, nlhs, inputs, N + 1,
                                                     standin::class_of<T>(), "invert_field", N);
    if (!r.ok) return;
    const std::vector<int> shape = fuzz::host_dims(fuzz::leading(fuzz::host_dims(grid), N));
    for (int a = 0; a < N; ++a) fuzz::expect_dims(plugin, r.outputs[a], shape);
    const double* summary = r.outputs[N].data<double>();
    const long n = fuzz::element_count(shape);
    if (!(summary[0] <= steps && summary[1] >= 0 && (summary[3] == 0 || summary[3] == 1) &&
          summary[4] >= 0 && summary[4] <= n && (summary[4] == 0 || summary[3] == 0)))
        fuzz::violated(plugin, "a summary that contradicts itself");
    if (method != 0) return;

    // The fixed point: the plug-ins' bits, inputs for inputs.
    std::vector<const mxArray*> splat_in;
    for (int a = 0; a <= N; ++a) splat_in.push_back(inputs[a].get());
    const standin::CallResult f = standin::call(splat, N, splat_in);
    if (!f.ok) fuzz::violated(plugin, "accepted a call that " + splat + " refuses: " + f.message);
    std::vector<const mxArray*> refine_in;
    for (int a = 0; a < N; ++a) refine_in.push_back(inputs[a].get());
    for (int a = 0; a < N; ++a) refine_in.push_back(f.outputs[a].get());
    refine_in.push_back(inputs[N + 1].get());
    refine_in.push_back(inputs[N + 2].get());
    const standin::CallResult g = standin::call(refine, N + 2, refine_in);
    if (!g.ok) fuzz::violated(plugin, "accepted a call that " + refine + " refuses: " + g.message);
    // An empty grid's outputs may have no data pointer at all.
    for (int a = 0; a < N && n > 0; ++a)
        if (std::memcmp(r.outputs[a].data<T>(), g.outputs[a].data<T>(), n * sizeof(T)) != 0)
            fuzz::violated(plugin, "component " + std::to_string(a + 1) +
                                       " differs from the splat and refinement plug-ins'");
    if (!(summary[0] == static_cast<double>(g.outputs[N + 1].data<T>()[0])))
        fuzz::violated(plugin, "steps differ from the refinement plug-in's");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::preload({"dispinvert_vol_f64", "dispinvert_vol_f32", "dispinvert_plane_f64",
                   "dispinvert_refine_vol_f64", "dispinvert_refine_vol_f32",
                   "dispinvert_refine_plane_f64", "invert_field_vol_f64", "invert_field_vol_f32",
                   "invert_field_plane_f64"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0: fuzz_dispinvert<double, 3>("dispinvert_vol_f64", in); break;
    case 1: fuzz_dispinvert<float, 3>("dispinvert_vol_f32", in); break;
    case 2: fuzz_dispinvert<double, 2>("dispinvert_plane_f64", in); break;
    case 3: fuzz_refine<double, 3>("dispinvert_refine_vol_f64", in); break;
    case 4: fuzz_refine<float, 3>("dispinvert_refine_vol_f32", in); break;
    case 5: fuzz_refine<double, 2>("dispinvert_refine_plane_f64", in); break;
    case 6:
        fuzz_invert<double, 3>("invert_field_vol_f64", "dispinvert_vol_f64",
                               "dispinvert_refine_vol_f64", in);
        break;
    case 7:
        fuzz_invert<float, 3>("invert_field_vol_f32", "dispinvert_vol_f32",
                              "dispinvert_refine_vol_f32", in);
        break;
    default:
        fuzz_invert<double, 2>("invert_field_plane_f64", "dispinvert_plane_f64",
                               "dispinvert_refine_plane_f64", in);
        break;
    }
    return 0;
}
