// Times remap_vol_f64, remap_vol_f32 and remap_plane_f64 through the stand-in
// host against the literal model on the standard workloads, checks that both
// give identical bits, and writes <out>/remap.md.
#include <thread>

#include "bench_common.h"
#include "reference/remap_reference.h"

namespace {

template <class T>
reference::RemapCase<T> workload(int dims, int sx, int sy, int sz, int window, double spacing,
                                 double bins)
{
    reference::RemapCase<T> c;
    c.dims = dims;
    c.sx = sx; c.sy = sy; c.sz = sz;
    c.wx = c.wy = window;
    c.wz = dims == 3 ? window : 1;
    const std::vector<double> a = bench::blob_image(sx, sy, sz, 1);
    const std::vector<double> b = bench::blob_image(sx, sy, sz, 2);
    std::vector<double> d(a.size()), cc(b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        d[i] = a[i] * a[i];                      // D: a nonlinear map of A
        cc[i] = 0.5 + 0.5 * std::sin(3 * b[i]);  // C: a nonlinear map of B
    }
    c.a = bench::convert<T>(a);
    c.b = bench::convert<T>(b);
    c.c = bench::convert<T>(cc);
    c.d = bench::convert<T>(d);
    const double sigma = window / 4.0, h = (window - 1) / 2.0;
    for (int z = 0; z < c.wz; ++z)
        for (int y = 0; y < c.wy; ++y)
            for (int x = 0; x < c.wx; ++x) {
                const double r2 = (x - h) * (x - h) + (y - h) * (y - h) +
                                  (dims == 3 ? (z - h) * (z - h) : 0.0);
                c.weights.push_back(static_cast<T>(std::exp(-r2 / (2 * sigma * sigma))));
            }
    c.min = 0; c.max = 1;
    c.bins = static_cast<T>(bins);
    c.spacing = static_cast<T>(spacing);
    return c;
}

// The literal model split over `threads` slabs, each on its own thread,
// writing into one pair of zero-filled outputs as the host's would be
// (timing only).
template <class T>
void run_literal(const reference::RemapCase<T>& c, int threads, int layers)
{
    std::vector<T> out_a(c.a.size()), out_b(c.a.size());
    const reference::RemapData<T> data{c.a.data(), c.b.data(), c.c.data(), c.d.data(),
                                       c.weights.data(), out_a.data(), out_b.data()};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            reference::remap_into(c, data, t * layers / threads, (t + 1) * layers / threads);
        });
    for (std::thread& th : pool) th.join();
}

// The plug-in at 1 and at 2 threads, timed alternately.
struct ScalingRow {
    std::string plugin, workload;
    double one_s, two_s;
};

template <class T>
void bench_case(const char* plugin, const char* name, const reference::RemapCase<T>& c,
                std::vector<bench::Row>& rows, std::vector<ScalingRow>& scaling)
{
    const std::vector<int> image = c.dims == 3 ? std::vector<int>{c.sx, c.sy, c.sz} : std::vector<int>{c.sx, c.sy};
    const std::vector<int> window = c.dims == 3 ? std::vector<int>{c.wx, c.wy, c.wz} : std::vector<int>{c.wx, c.wy};
    std::vector<standin::Array> in;
    in.push_back(standin::make_filled<T>(image, c.a));
    in.push_back(standin::make_filled<T>(image, c.b));
    in.push_back(standin::make_filled<T>(image, c.c));
    in.push_back(standin::make_filled<T>(image, c.d));
    in.push_back(standin::make_filled<T>({1, 2}, {c.min, c.max}));
    in.push_back(standin::make_scalar<T>(c.bins));
    in.push_back(standin::make_filled<T>(window, c.weights));
    in.push_back(standin::make_scalar<T>(c.spacing));
    std::vector<const mxArray*> pointers;
    for (const standin::Array& a : in) pointers.push_back(a.get());

    const reference::RemapResult<T> expected = reference::remap(c);
    const int gx = static_cast<int>(std::ceil(c.sx / static_cast<double>(c.spacing)));
    const int gy = static_cast<int>(std::ceil(c.sy / static_cast<double>(c.spacing)));
    const int gz = c.dims == 3 ? static_cast<int>(std::ceil(c.sz / static_cast<double>(c.spacing))) : 1;
    const double blocks = static_cast<double>(gx) * gy * gz;
    for (int threads : {1, 2}) {
        standin::set_thread_count(threads);
        // Alternate the two so that a burst of load on the shared machine
        // hits both alike; the medians are taken over the runs of each.
        std::vector<double> plugin_times, literal_times;
        bool identical = true;
        for (int run = 0; run < 5; ++run) {
            literal_times.push_back(bench::median_seconds(
                1, [&] { run_literal(c, threads, c.dims == 3 ? gz : gy); }));
            plugin_times.push_back(bench::median_seconds(1, [&] {
                standin::CallResult r = standin::call(plugin, 2, pointers);
                identical = identical && r.ok &&
                            bench::same_bits(expected.out_a, r.outputs[0].data<T>(), expected.out_a.size()) &&
                            bench::same_bits(expected.out_b, r.outputs[1].data<T>(), expected.out_b.size());
            }));
        }
        std::sort(plugin_times.begin(), plugin_times.end());
        std::sort(literal_times.begin(), literal_times.end());
        const double plugin_s = plugin_times[plugin_times.size() / 2];
        const double literal_s = literal_times[literal_times.size() / 2];
        rows.push_back({plugin, name, threads, plugin_s, literal_s, blocks, "blocks", identical});
        std::fprintf(stderr, "%s %s %d threads: %.1f ms vs %.1f ms\n", plugin, name, threads,
                     plugin_s * 1e3, literal_s * 1e3);
    }

    // Thread scaling on its own, so that both counts run under the same
    // conditions (after a run of the model, the images are no longer in cache).
    std::vector<double> times[2];
    for (int run = 0; run < 5; ++run)
        for (int threads : {1, 2}) {
            standin::set_thread_count(threads);
            times[threads - 1].push_back(
                bench::median_seconds(1, [&] { standin::call(plugin, 2, pointers); }));
        }
    for (std::vector<double>& t : times) std::sort(t.begin(), t.end());
    scaling.push_back({plugin, name, times[0][2], times[1][2]});
}

}  // namespace

int main(int argc, char** argv)
{
    bench::keep_freed_memory();
    const std::string out = argc > 1 ? argv[1] : ".";
    const bool quick = argc > 2 && std::string(argv[2]) == "quick";
    std::vector<bench::Row> rows;
    std::vector<ScalingRow> scaling;
    const int full = quick ? 2 : 1;
    for (int scale : {full, 2 * full}) {
        const std::string vol = std::to_string(160 / scale) + "x" + std::to_string(160 / scale) + "x" +
                                std::to_string(96 / scale) + ", spacing 6, window 13^3, 32 bins";
        bench_case("remap_vol_f64", vol.c_str(), workload<double>(3, 160 / scale, 160 / scale, 96 / scale, 13, 6, 32), rows, scaling);
        bench_case("remap_vol_f32", vol.c_str(), workload<float>(3, 160 / scale, 160 / scale, 96 / scale, 13, 6, 32), rows, scaling);
        const std::string plane = std::to_string(1024 / scale) + "x" + std::to_string(1024 / scale) +
                                  ", spacing 8, window 25^2, 64 bins";
        bench_case("remap_plane_f64", plane.c_str(), workload<double>(2, 1024 / scale, 1024 / scale, 1, 25, 8, 64), rows, scaling);
    }
    bench::report(out + "/remap.md", "Local intensity remapping", rows);
    if (std::FILE* f = std::fopen((out + "/remap.md").c_str(), "a")) {
        std::fprintf(f, "\n## Local intensity remapping: 2 threads against 1\n\n");
        std::fprintf(f, "| plug-in | workload | 1 thread (ms) | 2 threads (ms) | speed-up |\n");
        std::fprintf(f, "|---|---|---|---|---|\n");
        for (const ScalingRow& r : scaling)
            std::fprintf(f, "| %s | %s | %.1f | %.1f | %.2fx |\n", r.plugin.c_str(),
                         r.workload.c_str(), r.one_s * 1e3, r.two_s * 1e3, r.one_s / r.two_s);
        std::fclose(f);
    }
    for (const bench::Row& r : rows)
        if (!r.identical) return 1;
    return 0;
}
