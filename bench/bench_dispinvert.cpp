// Times dispinvert_vol_f64, dispinvert_vol_f32 and dispinvert_plane_f64
// through the stand-in host at 1 and 2 threads against the literal model
// (1 thread) on the standard workloads, checks that all give identical
// bits, and writes
// <out>/dispinvert.md. Then the refinement from the kernel-1 splat of the
// 128x128x96 bump field to a largest residual of 1e-4: the fixed-point and
// the Newton step at 1 and 2 threads, passes taken and time per pass,
// against the literal model. A second argument "quick" halves every
// workload; "refinement" runs the refinement alone.
#include "bench_common.h"
#include "../dispinvert/dispinvert_refine.h"
#include "reference/dispinvert_reference.h"
#include "reference/dispinvert_refine_reference.h"

namespace {

// A displacement field of smooth bumps up to about 4 grid points per
// component and a Gaussian kernel of the given extent (positive, not
// normalised: the final division removes its scale).
struct Workload {
    std::vector<int> grid, kernel_dims;
    std::vector<std::vector<double>> field;
    std::vector<double> kernel;
};

Workload workload(const std::vector<int>& grid, int kernel_extent)
{
    Workload w;
    w.grid = grid;
    const int dims = static_cast<int>(grid.size());
    const int sz = dims == 3 ? grid[2] : 1;
    for (int a = 0; a < dims; ++a)
        w.field.push_back(bench::bump_field(grid[0], grid[1], sz, 4.0, 11 + a));
    w.kernel_dims.assign(dims, kernel_extent);
    const double h = (kernel_extent - 1) / 2.0, sigma = kernel_extent / 3.0;
    const int kz = dims == 3 ? kernel_extent : 1;
    for (int k = 0; k < kz; ++k)
        for (int j = 0; j < kernel_extent; ++j)
            for (int i = 0; i < kernel_extent; ++i) {
                const double r2 = (i - h) * (i - h) + (j - h) * (j - h) +
                                  (dims == 3 ? (k - h) * (k - h) : 0.0);
                w.kernel.push_back(std::exp(-r2 / (2 * sigma * sigma)));
            }
    return w;
}

std::string extents(const std::vector<int>& v)
{
    std::string s;
    for (size_t a = 0; a < v.size(); ++a) s += (a ? "x" : "") + std::to_string(v[a]);
    return s;
}

// Volume plug-in against reference::invert_volume (i_outermost selects the
// f32 kernel loop order), or plane plug-in against reference::invert_plane.
template <class T>
void bench_case(const char* plugin, const Workload& w, bool i_outermost, int runs,
                std::vector<bench::Row>& rows)
{
    const int dims = static_cast<int>(w.grid.size());
    std::vector<std::vector<T>> field;
    for (const auto& component : w.field) field.push_back(bench::convert<T>(component));
    const std::vector<T> kernel = bench::convert<T>(w.kernel);

    std::vector<standin::Array> in;
    for (const auto& component : field) in.push_back(standin::make_filled<T>(w.grid, component));
    in.push_back(standin::make_filled<T>(w.kernel_dims, kernel));
    std::vector<const mxArray*> pointers;
    for (const standin::Array& a : in) pointers.push_back(a.get());

    std::vector<std::vector<T>> expected;
    auto run_literal = [&] {
        if (dims == 3) {
            auto r = reference::invert_volume<T>(field[0], field[1], field[2], w.grid[0],
                                                 w.grid[1], w.grid[2], kernel, w.kernel_dims[0],
                                                 w.kernel_dims[1], w.kernel_dims[2], i_outermost);
            expected = {std::move(r.fx), std::move(r.fy), std::move(r.fz)};
        } else if constexpr (std::is_same_v<T, double>) {
            auto r = reference::invert_plane(field[0], field[1], w.grid[0], w.grid[1], kernel,
                                             w.kernel_dims[0], w.kernel_dims[1]);
            expected = {std::move(r.fx), std::move(r.fy)};
        }
    };

    // Alternate the literal model and the plug-in at 1 and 2 threads so that
    // a burst of load on the shared machine hits all alike; the medians are
    // taken over the runs of each.
    const std::vector<int> thread_counts = {1, 2};
    std::vector<std::vector<double>> plugin_times(thread_counts.size());
    std::vector<double> literal_times;
    std::vector<bool> identical(thread_counts.size(), true);
    for (int r = 0; r < runs; ++r) {
        literal_times.push_back(bench::median_seconds(1, run_literal));
        for (size_t t = 0; t < thread_counts.size(); ++t) {
            standin::set_thread_count(thread_counts[t]);
            standin::CallResult result;
            plugin_times[t].push_back(
                bench::median_seconds(1, [&] { result = standin::call(plugin, dims, pointers); }));
            bool same = result.ok && result.outputs.size() == expected.size();
            for (size_t a = 0; same && a < expected.size(); ++a)
                same = bench::same_bits(expected[a], result.outputs[a].data<T>(),
                                        expected[a].size());
            identical[t] = identical[t] && same;
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double literal_s = median(literal_times);

    double shares = dims == 3 ? 8 : 4;
    for (int a = 0; a < dims; ++a) shares *= double(w.grid[a]) * w.kernel_dims[a];
    const std::string name = extents(w.grid) + ", kernel " + extents(w.kernel_dims);
    for (size_t t = 0; t < thread_counts.size(); ++t) {
        const double plugin_s = median(plugin_times[t]);
        rows.push_back({plugin, name, thread_counts[t], plugin_s, literal_s, shares, "shares",
                        identical[t]});
        std::fprintf(stderr, "%s %s, %d thread(s): %.1f ms vs %.1f ms (%.2f ns/share vs %.2f), %s\n",
                     plugin, name.c_str(), thread_counts[t], plugin_s * 1e3, literal_s * 1e3,
                     plugin_s / shares * 1e9, literal_s / shares * 1e9,
                     identical[t] ? "identical" : "BITS DIFFER");
    }
}

// The refinement of the kernel-1 splat's field toward the inverse of the
// workload's b (the inverse's standard route), to a largest residual of
// 1e-4, with the fixed-point and the Newton step at 1 and 2 threads; the
// literal model (1 thread) once per step for the bits.
void bench_refinement(const Workload& w, int runs, std::vector<bench::Row>& rows)
{
    std::vector<standin::Array> in;
    for (const auto& component : w.field) in.push_back(standin::make_filled<double>(w.grid, component));
    in.push_back(standin::make_filled<double>({1, 1, 1}, {1.0}));
    std::vector<const mxArray*> pointers;
    for (const standin::Array& a : in) pointers.push_back(a.get());
    standin::set_thread_count(2);
    const standin::CallResult splat = standin::call("dispinvert_vol_f64", 3, pointers);
    if (!splat.ok) return;
    const size_t n = w.field[0].size();
    std::vector<std::vector<double>> start;
    for (int a = 0; a < 3; ++a) start.emplace_back(splat.outputs[a].data<double>(),
                                                   splat.outputs[a].data<double>() + n);
    const double tolerance = 1e-4;
    const int max_steps = 30;
    const std::string name = extents(w.grid) + " from the kernel-1 splat, tol 1e-4";
    for (auto method : {regkern::RefinementMethod::fixed_point, regkern::RefinementMethod::newton}) {
        const bool newton = method == regkern::RefinementMethod::newton;
        const char* label = newton ? "refinement, Newton step" : "refinement, fixed-point step";
        reference::Refined<double> model;
        const double literal_s = bench::median_seconds(1, [&] {
            model = reference::refine_field<double>(w.field, start, w.grid, max_steps, tolerance, newton);
        });
        std::fprintf(stderr, "%s: largest residual after each step:", label);
        for (double r : model.largest) std::fprintf(stderr, " %.3g", r);
        std::fprintf(stderr, "\n");
        std::vector<std::vector<double>> field(3, std::vector<double>(n));
        std::vector<double> residual(n);
        regkern::FieldRefinement<double, 3> job = {};
        for (int a = 0; a < 3; ++a) {
            job.grid[a] = w.grid[a];
            job.backward[a] = w.field[a].data();
            job.start[a] = start[a].data();
            job.forward[a] = field[a].data();
        }
        job.residual = residual.data();
        job.steps = max_steps;
        job.tolerance = tolerance;
        job.method = method;
        for (int threads : {1, 2}) {
            std::vector<double> times;
            regkern::RefinementOutcome outcome;
            for (int r = 0; r < runs; ++r)
                times.push_back(bench::median_seconds(1, [&] {
                    outcome = regkern::refine_field<double, 3>(job, threads, regkern::vector_path());
                }));
            std::sort(times.begin(), times.end());
            const double seconds = times[times.size() / 2];
            bool identical = outcome.steps_done == model.steps_done;
            for (int a = 0; a < 3; ++a)
                identical = identical && bench::same_bits(model.field[a], field[a].data(), n);
            identical = identical && bench::same_bits(model.residual, residual.data(), n);
            const int passes = outcome.steps_done + 1;
            rows.push_back({label, name + ", " + std::to_string(passes) + " passes", threads, seconds,
                            literal_s, double(n) * passes, "point-passes", identical});
            std::fprintf(stderr,
                         "%s %s, %d thread(s): %d steps (%d passes), max residual %.3g, %.1f ms "
                         "(%.1f ms per pass) vs literal %.0f ms, %s\n",
                         label, extents(w.grid).c_str(), threads, outcome.steps_done, passes,
                         outcome.max_residual, seconds * 1e3, seconds * 1e3 / passes,
                         literal_s * 1e3, identical ? "identical" : "BITS DIFFER");
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bench::keep_freed_memory();
    const std::string out = argc > 1 ? argv[1] : ".";
    const bool quick = argc > 2 && std::string(argv[2]) == "quick";
    const bool refinement_only = argc > 2 && std::string(argv[2]) == "refinement";
    const int runs = 3;
    std::vector<bench::Row> rows;
    const int full = quick ? 2 : 1;
    for (int scale : {full, 2 * full}) {
        if (refinement_only) break;
        const Workload vol = workload({128 / scale, 128 / scale, 96 / scale}, 3);
        bench_case<double>("dispinvert_vol_f64", vol, false, runs, rows);
        bench_case<float>("dispinvert_vol_f32", vol, true, runs, rows);
        const Workload plane = workload({1024 / scale, 1024 / scale}, 5);
        bench_case<double>("dispinvert_plane_f64", plane, false, runs, rows);
    }
    bench_refinement(workload({128 / full, 128 / full, 96 / full}, 1), runs, rows);
    bench::report(out + "/dispinvert.md", "Displacement-field inversion", rows);
    for (const bench::Row& r : rows)
        if (!r.identical) return 1;
    return 0;
}
