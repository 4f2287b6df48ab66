// Shared pieces of the benchmark programs: the standard synthetic workloads,
// timing (median of repeated runs), bitwise comparison and the markdown table
// every program appends its rows to.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "standin.h"

namespace bench {

// A Gaussian blob: centre, radius and amplitude.
struct Blob {
    double x, y, z, r, a;
};

// count random blobs on an sx x sy x sz grid (sz = 1 for a plane), with radii
// from r_lo to r_hi times the largest extent and amplitudes from a_lo to a_hi.
inline std::vector<Blob> random_blobs(std::mt19937& rng, int count, int sx, int sy, int sz,
                                      double r_lo, double r_hi, double a_lo, double a_hi)
{
    std::uniform_real_distribution<double> unit(0, 1);
    const double size = std::max(sx, std::max(sy, sz));
    std::vector<Blob> blobs;
    for (int k = 0; k < count; ++k)
        blobs.push_back({unit(rng) * sx, unit(rng) * sy, unit(rng) * sz,
                         (r_lo + (r_hi - r_lo) * unit(rng)) * size,
                         a_lo + (a_hi - a_lo) * unit(rng)});
    return blobs;
}

// The sum of the blobs at every grid point, x fastest.
inline std::vector<double> blob_sum(const std::vector<Blob>& blobs, int sx, int sy, int sz)
{
    std::vector<double> values(static_cast<size_t>(sx) * sy * sz);
    size_t i = 0;
    for (int z = 0; z < sz; ++z)
        for (int y = 0; y < sy; ++y)
            for (int x = 0; x < sx; ++x, ++i) {
                double v = 0;
                for (const Blob& b : blobs) {
                    const double d2 = (x - b.x) * (x - b.x) + (y - b.y) * (y - b.y) +
                                      (sz > 1 ? (z - b.z) * (z - b.z) : 0.0);
                    v += b.a * std::exp(-d2 / (2 * b.r * b.r));
                }
                values[i] = v;
            }
    return values;
}

// Sum of smooth random blobs scaled into [0, 1], plus mild noise.
inline std::vector<double> blob_image(int sx, int sy, int sz, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<double> image = blob_sum(random_blobs(rng, 8, sx, sy, sz, 0.1, 0.35, 0.3, 1.3),
                                         sx, sy, sz);
    const auto range = std::minmax_element(image.begin(), image.end());
    const double lo = *range.first, hi = *range.second;
    std::normal_distribution<double> noise(0, 0.02);
    for (double& v : image) v = std::clamp((v - lo) / (hi - lo) + noise(rng), 0.0, 1.0);
    return image;
}

// A smooth displacement component: sum of bumps of amplitude up to
// `amplitude` voxels either way.
inline std::vector<double> bump_field(int sx, int sy, int sz, double amplitude, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<double> field =
        blob_sum(random_blobs(rng, 6, sx, sy, sz, 0.1, 0.3, -amplitude, amplitude), sx, sy, sz);
    for (double& v : field) v = std::clamp(v, -amplitude, amplitude);
    return field;
}

template <class T>
std::vector<T> convert(const std::vector<double>& v)
{
    return std::vector<T>(v.begin(), v.end());
}

// Keeps memory freed by one run for the next, as a long host session does.
// By default glibc returns large blocks to the system when they are freed
// and the next allocation takes fresh pages, whose first touch (about 3 ms
// per MB on a virtual machine) then falls on one side or the other of a
// comparison depending on what ran before it, not on the code timed.
// Call first in main().
inline void keep_freed_memory()
{
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
#endif
}

// Median wall time in seconds of `runs` calls of fn.
template <class Fn>
double median_seconds(int runs, Fn&& fn)
{
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

template <class T>
bool same_bits(const std::vector<T>& a, const T* b, size_t n)
{
    return a.size() == n && (n == 0 || std::memcmp(a.data(), b, n * sizeof(T)) == 0);
}

// One row of the results table.
struct Row {
    std::string plugin, workload;
    int threads;
    double plugin_s, literal_s;
    double units;           // work units per call (blocks, shares, samples)
    const char* unit_name;  // what a unit is
    bool identical;
};

inline void print_header(std::FILE* f)
{
    std::fprintf(f, "| plug-in | workload | threads | plug-in (ms) | literal (ms) | speed-up | plug-in throughput | identical bits |\n");
    std::fprintf(f, "|---|---|---|---|---|---|---|---|\n");
}

inline void print_row(std::FILE* f, const Row& r)
{
    std::fprintf(f, "| %s | %s | %d | %.1f | %.1f | %.2fx | %.3g %s/s | %s |\n", r.plugin.c_str(),
                 r.workload.c_str(), r.threads, r.plugin_s * 1e3, r.literal_s * 1e3,
                 r.literal_s / r.plugin_s, r.units / r.plugin_s, r.unit_name,
                 r.identical ? "yes" : "NO");
}

// Prints the rows to stdout and writes them as a markdown table to path.
inline void report(const std::string& path, const std::string& title, const std::vector<Row>& rows)
{
    print_header(stdout);
    for (const Row& r : rows) print_row(stdout, r);
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return;
    std::fprintf(f, "## %s\n\n", title.c_str());
    print_header(f);
    for (const Row& r : rows) print_row(f, r);
    std::fclose(f);
}

}  // namespace bench
