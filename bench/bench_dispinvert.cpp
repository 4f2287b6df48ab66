// Times dispinvert_vol_f64, dispinvert_vol_f32 and dispinvert_plane_f64
// through the stand-in host at 1 and 2 threads against the literal model
// (1 thread) on the standard workloads, checks that all give identical
// bits, and writes
// <out>/dispinvert.md. A second argument "quick" halves every workload.
#include "bench_common.h"
#include "reference/dispinvert_reference.h"

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

}  // namespace

int main(int argc, char** argv)
{
    bench::keep_freed_memory();
    const std::string out = argc > 1 ? argv[1] : ".";
    const bool quick = argc > 2 && std::string(argv[2]) == "quick";
    const int runs = 3;
    std::vector<bench::Row> rows;
    const int full = quick ? 2 : 1;
    for (int scale : {full, 2 * full}) {
        const Workload vol = workload({128 / scale, 128 / scale, 96 / scale}, 3);
        bench_case<double>("dispinvert_vol_f64", vol, false, runs, rows);
        bench_case<float>("dispinvert_vol_f32", vol, true, runs, rows);
        const Workload plane = workload({1024 / scale, 1024 / scale}, 5);
        bench_case<double>("dispinvert_plane_f64", plane, false, runs, rows);
    }
    bench::report(out + "/dispinvert.md", "Displacement-field inversion", rows);
    for (const bench::Row& r : rows)
        if (!r.identical) return 1;
    return 0;
}
