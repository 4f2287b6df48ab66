// Times jointbins_f64 and jointbins_f32 through the stand-in host against the
// literal model on the standard image pair, checks that both give identical
// bits, and writes <out>/jointbins.md. A second argument "quick" halves every
// workload.
#include "bench_common.h"
#include "reference/jointbins_reference.h"

namespace {

// Blob image A and B = a nonlinear intensity map of A plus noise, both in
// [0, 1] (values outside are clamped, so the edge bins see whole samples).
struct Workload {
    int sx, sy, sz;
    std::vector<double> a, b;
};

Workload workload(int sx, int sy, int sz)
{
    Workload w{sx, sy, sz, bench::blob_image(sx, sy, sz, 1), {}};
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0, 0.03);
    w.b.resize(w.a.size());
    for (size_t i = 0; i < w.a.size(); ++i)
        w.b[i] = std::clamp(0.5 + 0.45 * std::sin(4 * w.a[i]) + noise(rng), 0.0, 1.0);
    return w;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class T>
jointbins_reference::Histograms<T> literal(const std::vector<T>& a, const std::vector<T>& b, T bins)
{
    if constexpr (std::is_same<T, double>::value)
        return jointbins_reference::run_f64(a, b, 0, 1, bins);
    else
        return jointbins_reference::run_f32(a, b, 0, 1, bins);
}

template <class T>
void bench_case(const char* plugin, const Workload& w, double bins, int runs,
                std::vector<bench::Row>& rows)
{
    const std::vector<T> a = bench::convert<T>(w.a), b = bench::convert<T>(w.b);
    const std::vector<int> dims{w.sx, w.sy, w.sz};
    std::vector<standin::Array> in;
    in.push_back(standin::make_filled<T>(dims, a));
    in.push_back(standin::make_filled<T>(dims, b));
    in.push_back(standin::make_scalar<T>(0));
    in.push_back(standin::make_scalar<T>(1));
    in.push_back(standin::make_scalar<T>(static_cast<T>(bins)));
    std::vector<const mxArray*> pointers;
    for (const standin::Array& x : in) pointers.push_back(x.get());

    // The two are timed alternately, so that a change in the machine's load
    // falls on both alike.
    jointbins_reference::Histograms<T> expected = literal(a, b, static_cast<T>(bins));
    std::vector<double> literal_times, plugin_times;
    bool identical = true;
    for (int r = 0; r < runs; ++r) {
        literal_times.push_back(
            bench::median_seconds(1, [&] { expected = literal(a, b, static_cast<T>(bins)); }));
        plugin_times.push_back(bench::median_seconds(1, [&] {
            standin::CallResult out = standin::call(plugin, 3, pointers);
            identical = identical && out.ok &&
                        bench::same_bits(expected.joint, out.outputs[0].data<T>(), expected.joint.size()) &&
                        bench::same_bits(expected.first, out.outputs[1].data<T>(), expected.first.size()) &&
                        bench::same_bits(expected.second, out.outputs[2].data<T>(), expected.second.size());
        }));
    }
    const double literal_s = median(literal_times), plugin_s = median(plugin_times);
    const double samples = static_cast<double>(a.size());
    const std::string name = std::to_string(w.sx) + "x" + std::to_string(w.sy) + "x" +
                             std::to_string(w.sz) + ", " + std::to_string(static_cast<int>(bins)) +
                             " bins";
    rows.push_back({plugin, name, 1, plugin_s, literal_s, samples, "samples", identical});
    std::fprintf(stderr, "%s %s: %.1f ms (%.2f ns/sample) vs %.1f ms (%.2f ns/sample)%s\n", plugin,
                 name.c_str(), plugin_s * 1e3, plugin_s / samples * 1e9, literal_s * 1e3,
                 literal_s / samples * 1e9, identical ? "" : " BITS DIFFER");
}

}  // namespace

int main(int argc, char** argv)
{
    bench::keep_freed_memory();
    const std::string out = argc > 1 ? argv[1] : ".";
    const bool quick = argc > 2 && std::string(argv[2]) == "quick";
    const int full = quick ? 2 : 1;
    std::vector<bench::Row> rows;
    for (int scale : {full, 2 * full}) {
        const Workload w = workload(256 / scale, 256 / scale, 160 / scale);
        bench_case<double>("jointbins_f64", w, 64, 7, rows);
        bench_case<float>("jointbins_f32", w, 64, 7, rows);
    }
    bench::report(out + "/jointbins.md", "Joint histogram", rows);
    for (const bench::Row& r : rows)
        if (!r.identical) return 1;
    return 0;
}
