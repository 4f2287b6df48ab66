// The region entries (a box of a call's outputs from the inputs of the box
// and its halo, placed in the whole grid) against the whole call, through
// the core: each random case is cut into boxes of several kinds (the whole
// grid, one-voxel-thick slices, boxes thinner than the halo, uneven last
// boxes, edges anywhere) and every box must give the whole call's bits on
// it, from inputs that cover exactly the box and the halo the core names.
#include "../../dispinvert/dispinvert_core.h"
#include "../../dispinvert/dispinvert_region.h"
#include "../../jointbins/jointbins_core.h"
#include "../../jointbins/jointbins_region.h"
#include "../../remap/remap_core.h"
#include "../../remap/remap_region.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using regkern::KernelOrder;

template <int N> using Extents = std::array<int32_t, N>;

template <int N>
int64_t points_of(const Extents<N>& e)
{
    int64_t n = 1;
    for (int a = 0; a < N; ++a) n *= e[a];
    return n;
}

template <int N>
regkern::PlainArray array_of(const void* data, const Extents<N>& extents)
{
    return regkern::plain_array(data, static_cast<uint64_t>(points_of<N>(extents)), extents.data(),
                                int64_t{N});
}

// The part [first, first + extent) of a column-major array of extents `whole`.
template <class T, int N>
std::vector<T> part_of(const std::vector<T>& values, const Extents<N>& whole,
                       const Extents<N>& first, const Extents<N>& extent)
{
    std::vector<T> part(static_cast<size_t>(points_of<N>(extent)));
    Extents<N> p{};
    for (size_t n = 0; n < part.size(); ++n) {
        int64_t at = 0, stride = 1;
        for (int a = 0; a < N; ++a) {
            at += (first[a] + p[a]) * stride;
            stride *= whole[a];
        }
        part[n] = values[static_cast<size_t>(at)];
        for (int a = 0; a < N; ++a) {
            if (++p[a] < extent[a]) break;
            p[a] = 0;
        }
    }
    return part;
}

template <class T>
bool same_bits(T a, T b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <class T>
regkern::PlainArray array_dims(const std::vector<T>& data, std::vector<int32_t> extents)
{
    return regkern::plain_array(data.data(), static_cast<uint64_t>(data.size()), extents.data(),
                                static_cast<int64_t>(extents.size()));
}

// Cuts [0, extent) into boxes of one kind: 0 the whole axis, 1 one point
// each, 2 two points each (thinner than most halos) with an uneven last,
// 3 random edges, 4 the edges `aligned` gives (when it gives any).
std::vector<std::array<int32_t, 2>> cuts(int kind, int32_t extent, std::mt19937& rng,
                                         const std::vector<int64_t>& aligned = {})
{
    std::vector<std::array<int32_t, 2>> boxes;
    if (kind == 4 && aligned.size() > 1) {
        for (size_t e = 0; e + 1 < aligned.size(); ++e)
            boxes.push_back({static_cast<int32_t>(aligned[e]), static_cast<int32_t>(aligned[e + 1])});
        return boxes;
    }
    int32_t at = 0;
    while (at < extent) {
        int32_t size = extent;
        if (kind == 1) size = 1;
        if (kind == 2) size = 2;
        if (kind == 3) size = 1 + static_cast<int32_t>(rng() % 5);
        const int32_t end = std::min(extent, at + size);
        boxes.push_back({at, end});
        at = end;
    }
    if (boxes.empty()) boxes.push_back({0, 0});
    return boxes;
}

// Every box of a cutting, one cut kind per axis: f(lo, hi).
template <int N, class F>
void for_each_box(const Extents<N>& grid, const std::array<int, N>& kind, std::mt19937& rng, F f,
                  const std::array<std::vector<int64_t>, N>& aligned = {})
{
    std::array<std::vector<std::array<int32_t, 2>>, N> axis;
    for (int a = 0; a < N; ++a) axis[a] = cuts(kind[a], grid[a], rng, aligned[a]);
    std::array<size_t, N> i{};
    for (;;) {
        Extents<N> lo, hi;
        for (int a = 0; a < N; ++a) {
            lo[a] = axis[a][i[a]][0];
            hi[a] = axis[a][i[a]][1];
        }
        f(lo, hi);
        int a = 0;
        for (; a < N; ++a) {
            if (++i[a] < axis[a].size()) break;
            i[a] = 0;
        }
        if (a == N) return;
    }
}

std::vector<int64_t> wide(const int32_t* v, int n)
{
    return std::vector<int64_t>(v, v + n);
}

// A displacement component: fractions within `spread` points, integers,
// zeros, NaN and infinities, and (when `far`) a value far off the grid.
template <class T>
std::vector<T> random_field(std::mt19937& rng, int64_t count, double spread, bool far)
{
    std::uniform_real_distribution<double> fraction(-spread, spread);
    std::vector<T> v(static_cast<size_t>(count));
    for (T& x : v) {
        switch (rng() % 16) {
        case 0: x = T(0); break;
        case 1: x = T(std::round(fraction(rng))); break;
        case 2: x = std::numeric_limits<T>::quiet_NaN(); break;
        case 3: x = (rng() % 2 ? 1 : -1) * std::numeric_limits<T>::infinity(); break;
        default: x = T(fraction(rng)); break;
        }
    }
    if (far && count > 0) v[rng() % count] = T(1e6);
    return v;
}

template <class T, int N, KernelOrder Order>
void expect_splat_boxes_match(const Extents<N>& grid, const Extents<N>& kernel_extent,
                              double spread, bool far, std::mt19937& rng, int& boxes_checked)
{
    const int64_t n = points_of<N>(grid);
    std::vector<std::vector<T>> b(N);
    for (int a = 0; a < N; ++a) b[a] = random_field<T>(rng, n, spread, far);
    std::uniform_real_distribution<double> weight(0.05, 1.0);
    std::vector<T> h(static_cast<size_t>(points_of<N>(kernel_extent)));
    for (T& x : h) x = T(weight(rng));

    // The whole call.
    std::vector<regkern::PlainArray> in(N + 1);
    for (int a = 0; a < N; ++a) in[a] = array_of<N>(b[a].data(), grid);
    in[N] = array_of<N>(h.data(), kernel_extent);
    regkern::GatewayWarnings warnings;
    auto plan = regkern::check_inversion<T, N>(in.data(), warnings);
    std::vector<std::vector<T>> whole(N, std::vector<T>(static_cast<size_t>(n)));
    std::array<T*, N> out;
    for (int a = 0; a < N; ++a) out[a] = whole[a].data();
    regkern::run_inversion<T, N, Order>(plan, out.data(), 2);

    std::vector<double> max_abs_b(N, 0.0);
    for (int a = 0; a < N; ++a)
        for (T x : b[a])
            if (std::isfinite(x)) max_abs_b[a] = std::max(max_abs_b[a], std::fabs(double(x)));
    std::array<double, N> m;
    for (int a = 0; a < N; ++a) m[a] = max_abs_b[a];
    const auto halo = regkern::splat_halos<T, N>(m, kernel_extent, grid);

    for (int cut = 0; cut < 4; ++cut) {
        std::array<int, N> kind;
        for (int a = 0; a < N; ++a) kind[a] = (cut + a) % 4;
        for_each_box<N>(grid, kind, rng, [&](const Extents<N>& lo, const Extents<N>& hi) {
            // Exactly the box and its halo, clipped at the grid's faces.
            Extents<N> first, extent, box;
            for (int a = 0; a < N; ++a) {
                first[a] = static_cast<int32_t>(std::max<int64_t>(0, lo[a] - halo[a].below));
                const int64_t end = std::min<int64_t>(grid[a], hi[a] + halo[a].above);
                extent[a] = static_cast<int32_t>(end - first[a]);
                box[a] = hi[a] - lo[a];
            }
            std::vector<std::vector<T>> part(N);
            std::vector<regkern::PlainArray> region_in(N + 1);
            for (int a = 0; a < N; ++a) {
                part[a] = part_of<T, N>(b[a], grid, first, extent);
                region_in[a] = array_of<N>(part[a].data(), extent);
            }
            region_in[N] = in[N];
            auto region_plan = regkern::check_inversion_region<T, N>(
                region_in.data(), wide(grid.data(), N), wide(first.data(), N),
                wide(lo.data(), N), wide(hi.data(), N), max_abs_b);
            std::vector<std::vector<T>> got(N, std::vector<T>(static_cast<size_t>(points_of<N>(box))));
            std::array<T*, N> region_out;
            for (int a = 0; a < N; ++a) region_out[a] = got[a].data();
            regkern::run_inversion<T, N, Order>(region_plan, region_out.data(),
                                                1 + boxes_checked % 3);
            for (int a = 0; a < N; ++a) {
                const std::vector<T> expected = part_of<T, N>(whole[a], grid, lo, box);
                for (size_t k = 0; k < expected.size(); ++k)
                    ASSERT_TRUE(same_bits(got[a][k], expected[k]))
                        << "component " << a << " point " << k << " of box cut " << cut << ": "
                        << got[a][k] << " vs " << expected[k];
            }
            ++boxes_checked;

            // One point less of halo below, where that is inside the grid:
            // refused, not read out of bounds.
            for (int a = 0; a < N; ++a) {
                if (first[a] == 0 || lo[a] == hi[a]) continue;
                Extents<N> short_first = first, short_extent = extent;
                ++short_first[a];
                --short_extent[a];
                const std::vector<T> shorter = part_of<T, N>(b[0], grid, short_first, short_extent);
                std::vector<regkern::PlainArray> short_in = region_in;
                for (int c = 0; c < N; ++c) short_in[c] = array_of<N>(shorter.data(), short_extent);
                try {
                    regkern::check_inversion_region<T, N>(short_in.data(), wide(grid.data(), N),
                                                          wide(short_first.data(), N),
                                                          wide(lo.data(), N), wide(hi.data(), N),
                                                          max_abs_b);
                    ADD_FAILURE() << "a halo one point short along axis " << a << " was taken";
                } catch (const regkern::Failure& failure) {
                    EXPECT_STREQ(failure.condition, "regionNotCovered");
                }
                break;
            }
        });
    }
}

TEST(Regions, SplatBoxesGiveTheWholeCallsBits)
{
    std::mt19937 rng(20261209);
    int boxes = 0;
    // Even and odd kernels, fields reaching past a neighbouring box, one
    // with a sample far off the grid (its halo is the whole grid).
    const std::vector<std::array<int32_t, 3>> grids = {{9, 7, 6}, {1, 5, 4}, {6, 6, 1}};
    const std::vector<std::array<int32_t, 3>> kernels = {{1, 1, 1}, {2, 3, 4}, {3, 3, 3}};
    for (size_t g = 0; g < grids.size(); ++g) {
        for (size_t k = 0; k < kernels.size(); ++k) {
            const double spread = k == 0 ? 3.7 : 1.6;
            const bool far = g == 2 && k == 1;
            SCOPED_TRACE(::testing::Message() << "grid " << g << " kernel " << k);
            expect_splat_boxes_match<double, 3, KernelOrder::high_axis_outermost>(
                grids[g], kernels[k], spread, far, rng, boxes);
            expect_splat_boxes_match<float, 3, KernelOrder::low_axis_outermost>(
                grids[g], kernels[k], spread, far, rng, boxes);
            expect_splat_boxes_match<double, 2, KernelOrder::high_axis_outermost>(
                {grids[g][0] + 3, grids[g][1]}, {kernels[k][0], kernels[k][2]}, spread, far, rng,
                boxes);
        }
    }
    EXPECT_GT(boxes, 1000);
}


// Images on a few levels of [min, max] (ties in the histograms), with NaN,
// infinities and values beyond the range mixed in; `outside` puts most of
// them beyond it (the outOfRange census); a `share` below 1 keeps them to
// that share of it, without infinities (the narrowData census).
template <class T>
std::vector<T> random_image(std::mt19937& rng, int64_t count, double min, double max, bool outside,
                            double share = 1)
{
    std::vector<T> v(static_cast<size_t>(count));
    const int levels = 2 + static_cast<int>(rng() % 30);
    for (T& x : v) {
        const unsigned kind = rng() % 40;
        const double t = static_cast<double>(rng() % (levels + 1)) / levels;
        x = static_cast<T>(min + t * share * (max - min));
        if (kind == 0) x = std::numeric_limits<T>::quiet_NaN();
        if (kind == 1 && share == 1) x = (rng() % 2 ? 1 : -1) * std::numeric_limits<T>::infinity();
        if (share == 1 && (kind == 2 || (outside && kind % 4 != 3)))
            x = static_cast<T>(x + 3 * (max - min));
    }
    return v;
}

template <class T, int D>
void expect_remap_boxes_match(const Extents<D>& grid, const Extents<D>& window, double spacing,
                              int bins, int census, std::mt19937& rng, int& boxes_checked)
{
    const int64_t n = points_of<D>(grid);
    const double min = -1.5, max = 4.25;
    std::vector<std::vector<T>> image(4);
    // census 0: images over the range; 1: mostly beyond it; 2: A and C in a
    // sliver of it
    for (int k = 0; k < 4; ++k)
        image[k] = random_image<T>(rng, n, min, max, census == 1, census == 2 && k % 2 == 0 ? 0.01 : 1);
    std::uniform_real_distribution<double> weight(0.05, 2.0);
    std::vector<T> weights(static_cast<size_t>(points_of<D>(window)));
    for (T& w : weights) w = static_cast<T>(weight(rng));
    const std::vector<T> range = {static_cast<T>(min), static_cast<T>(max)};
    const std::vector<T> bin_value = {static_cast<T>(bins)}, step = {static_cast<T>(spacing)};

    auto inputs = [&](const std::vector<std::vector<T>>& im, const Extents<D>& extent) {
        std::vector<regkern::PlainArray> in(regkern::REMAP_INPUTS);
        for (int k = 0; k < 4; ++k) in[k] = array_of<D>(im[k].data(), extent);
        in[regkern::IN_RANGE] = array_dims(range, {1, 2});
        in[regkern::IN_BINS] = array_dims(bin_value, {1, 1});
        in[regkern::IN_WEIGHTS] = array_of<D>(weights.data(), window);
        in[regkern::IN_SPACING] = array_dims(step, {1, 1});
        return in;
    };
    // The whole call.
    const auto in = inputs(image, grid);
    regkern::GatewayWarnings warnings;
    const auto plan = regkern::check_remap<T, D>(in.data(), warnings);
    std::vector<T> whole_a(static_cast<size_t>(n)), whole_b(static_cast<size_t>(n));
    regkern::run_remap(plan, whole_a.data(), whole_b.data(), 2, warnings);

    std::array<std::vector<int64_t>, D> aligned;
    std::array<regkern::RemapHalo, D> halo;
    for (int a = 0; a < D; ++a) {
        halo[a] = regkern::remap_halo<T>(static_cast<T>(spacing), window[a]);
        aligned[a] = regkern::remap_chunk_edges<T>(grid[a], static_cast<T>(spacing), window[a], 3);
    }
    for (int cut = 0; cut < 5; ++cut) {
        std::array<int, D> kind;
        for (int a = 0; a < D; ++a) kind[a] = (cut + a) % 5;
        // The census of the chunks (the boxes), as a chunked call takes it.
        std::array<regkern::ValueSpread<T>, 4> spread;
        std::array<int64_t, 4> finite{};
        std::array<double, 4> least, greatest;
        spread.fill({0, std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::infinity()});
        least.fill(std::nan(""));
        greatest.fill(std::nan(""));
        for_each_box<D>(grid, kind, rng, [&](const Extents<D>& lo, const Extents<D>& hi) {
            Extents<D> first, extent, box;
            for (int a = 0; a < D; ++a) {
                first[a] = static_cast<int32_t>(std::max<int64_t>(0, lo[a] - halo[a].below));
                const int64_t end = std::min<int64_t>(grid[a], hi[a] + halo[a].above);
                extent[a] = static_cast<int32_t>(end - first[a]);
                box[a] = hi[a] - lo[a];
            }
            // Every voxel the box's blocks read lies in the held part (a
            // voxel beyond it may change no mode, so the bits alone could
            // miss a halo too small).
            for (int a = 0; a < D; ++a) {
                const T step_t = static_cast<T>(spacing);
                const T half_span = static_cast<T>((spacing - 1.0) / 2.0);
                const int32_t half = (window[a] - 1) / 2;
                for (const regkern::AxisSpan& span : regkern::box_writing_spans(
                         regkern::block_count(grid[a], step_t), step_t, half_span, grid[a], window[a],
                         half, lo[a], hi[a])) {
                    if (span.k_hi < span.k_lo) continue;
                    ASSERT_GE(regkern::to_int(span.centre + span.k_lo - half), first[a]) << "axis " << a;
                    ASSERT_LT(regkern::to_int(span.centre + span.k_hi - half), first[a] + extent[a])
                        << "axis " << a;
                }
            }
            std::vector<std::vector<T>> part(4), chunk(4);
            for (int k = 0; k < 4; ++k) {
                part[k] = part_of<T, D>(image[k], grid, first, extent);
                chunk[k] = part_of<T, D>(image[k], grid, lo, box);
                regkern::merge_spread(spread[k], regkern::value_spread<T>(chunk[k].data(), points_of<D>(box),
                                                                          range[0], range[1]));
                int64_t f;
                double l, g;
                regkern::finite_census<T>(chunk[k].data(), points_of<D>(box), f, l, g);
                finite[k] += f;
                least[k] = std::fmin(least[k], l);
                greatest[k] = std::fmax(greatest[k], g);
            }
            const auto region_in = inputs(part, extent);
            const auto region_plan = regkern::check_remap_region<T, D>(
                region_in.data(), wide(grid.data(), D), wide(first.data(), D), wide(lo.data(), D),
                wide(hi.data(), D));
            const size_t box_points = static_cast<size_t>(points_of<D>(box));
            std::vector<T> got_a(box_points, T(region_plan.zero_fill ? 0 : 7));
            std::vector<T> got_b(box_points, T(region_plan.zero_fill ? 0 : 7));
            regkern::run_remap_region(region_plan, got_a.data(), got_b.data(), 1 + boxes_checked % 3);
            const std::vector<T> expected_a = part_of<T, D>(whole_a, grid, lo, box);
            const std::vector<T> expected_b = part_of<T, D>(whole_b, grid, lo, box);
            for (size_t k = 0; k < box_points; ++k) {
                ASSERT_TRUE(same_bits(got_a[k], expected_a[k]) && same_bits(got_b[k], expected_b[k]))
                    << "point " << k << " of box cut " << cut << ": " << got_a[k] << ", " << got_b[k]
                    << " vs " << expected_a[k] << ", " << expected_b[k];
            }
            ++boxes_checked;
            for (int a = 0; a < D; ++a) {
                if (lo[a] == hi[a]) continue;
                Extents<D> short_first = first, short_extent = extent;
                if (first[a] > 0) ++short_first[a];
                --short_extent[a];
                std::vector<std::vector<T>> shorter(4);
                for (int k = 0; k < 4; ++k)
                    shorter[k] = part_of<T, D>(image[k], grid, short_first, short_extent);
                const auto short_in = inputs(shorter, short_extent);
                try {
                    regkern::check_remap_region<T, D>(short_in.data(), wide(grid.data(), D),
                                                      wide(short_first.data(), D), wide(lo.data(), D),
                                                      wide(hi.data(), D));
                    ADD_FAILURE() << "a halo one voxel short along axis " << a << " was taken";
                } catch (const regkern::Failure& failure) {
                    EXPECT_STREQ(failure.condition, "regionNotCovered");
                }
                break;
            }
        }, aligned);
        // The chunks' census gives the whole call's warnings.
        std::vector<regkern::RemapImageCensus> images;
        for (int k = 0; k < 4; ++k)
            images.push_back({regkern::remap_input_names[k], n, spread[k].inside,
                              static_cast<double>(spread[k].least),
                              static_cast<double>(spread[k].greatest), false, 0, 0, 0});
        const std::vector<bool> needs = regkern::remap_census_needs_finite(images, range[0], range[1]);
        for (int k = 0; k < 4; ++k)
            if (needs[k]) images[k] = {images[k].name, n, spread[k].inside, images[k].spread_least,
                                       images[k].spread_greatest, true, finite[k], least[k], greatest[k]};
        regkern::GatewayWarnings chunked;
        regkern::warn_remap_images<T>(range[0], range[1], images, chunked);
        std::vector<std::string> whole_said, chunked_said;
        for (int w = 0; w < warnings.count; ++w)
            if (std::string(warnings.condition[w]) == "outOfRange" ||
                std::string(warnings.condition[w]) == "narrowData")
                whole_said.push_back(warnings.message[w]);
        for (int w = 0; w < chunked.count; ++w) chunked_said.push_back(chunked.message[w]);
        EXPECT_EQ(chunked_said, whole_said);
        EXPECT_EQ(census != 0, chunked.count == 1);
        if (census != 0) {
            EXPECT_STREQ(chunked.condition[0], census == 1 ? "outOfRange" : "narrowData");
        }
    }
}

TEST(Regions, RemapBoxesGiveTheWholeCallsBits)
{
    std::mt19937 rng(26121209);
    int boxes = 0;
    // Whole and fractional spacings (the last block's centre clamped at the
    // far face, blocks that write nothing), even and odd windows, wider and
    // narrower than the spacing.
    struct Case {
        std::array<int32_t, 3> grid, window;
        double spacing;
        int bins;
    };
    const Case cases[] = {{{11, 9, 7}, {4, 5, 3}, 2.5, 12},  {{10, 8, 6}, {3, 3, 2}, 3, 300},
                          {{9, 7, 5}, {6, 2, 3}, 0.75, 7},   {{13, 1, 4}, {5, 1, 4}, 4, 20},
                          {{7, 6, 9}, {2, 7, 5}, 1.5, 33}};
    int c = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << c);
        const int census = c++ % 3;
        expect_remap_boxes_match<double, 3>(k.grid, k.window, k.spacing, k.bins, census, rng, boxes);
        expect_remap_boxes_match<float, 3>(k.grid, k.window, k.spacing, k.bins, (census + 1) % 3, rng,
                                           boxes);
        expect_remap_boxes_match<double, 2>({k.grid[0], k.grid[1] + 2}, {k.window[0], k.window[1]},
                                            k.spacing, k.bins, (census + 2) % 3, rng, boxes);
    }
    EXPECT_GT(boxes, 1000);
}

// The joint histogram cut into chunks of samples: the combine within the
// bound jointbins_region.h states, the same bits for the same chunks
// (run twice), a single chunk giving the whole call's bits, and the census
// giving the whole call's warnings (census 1: the first image mostly
// outside the bounds; 2: in a sliver of them).
template <class T>
void expect_jointbins_chunks_combine(int64_t count, int bins, int census_kind, std::mt19937& rng)
{
    const double lower = -2.0, upper = 7.5;
    const bool outside = census_kind == 1;
    const std::vector<T> first =
        random_image<T>(rng, count, lower, upper, outside, census_kind == 2 ? 0.01 : 1);
    const std::vector<T> second = random_image<T>(rng, count, lower - 1, upper + 1, false);
    const std::vector<T> lo = {static_cast<T>(lower)}, hi = {static_cast<T>(upper)};
    const std::vector<T> k = {static_cast<T>(bins + 0.5)};
    // The arrays point at the caller's extent, which must outlive them.
    auto inputs = [&](const T* a, const T* b, const int32_t& n) {
        std::vector<regkern::PlainArray> in(regkern::JOINTBINS_INPUTS);
        in[regkern::IN_FIRST] = regkern::plain_array(a, static_cast<uint64_t>(n), &n, int64_t{1});
        in[regkern::IN_SECOND] = regkern::plain_array(b, static_cast<uint64_t>(n), &n, int64_t{1});
        in[regkern::IN_LOWER] = array_dims(lo, {1, 1});
        in[regkern::IN_UPPER] = array_dims(hi, {1, 1});
        in[regkern::IN_BIN_COUNT] = array_dims(k, {1, 1});
        return in;
    };
    const size_t cells[3] = {static_cast<size_t>(bins) * bins, static_cast<size_t>(bins),
                             static_cast<size_t>(bins)};
    const int32_t n = static_cast<int32_t>(count);
    const auto in = inputs(first.data(), second.data(), n);
    regkern::GatewayWarnings whole_warnings;
    const auto plan = regkern::check_jointbins<T>(in.data(), whole_warnings);
    std::vector<std::vector<T>> whole(3);
    for (int o = 0; o < 3; ++o) whole[o].assign(cells[o], T(0));
    regkern::run_jointbins(plan, whole[0].data(), whole[1].data(), whole[2].data(), 1, whole_warnings);

    // Chunkings: one chunk, equal chunks with an uneven last, random sizes,
    // one sample each (the most chunks).
    for (int chunking = 0; chunking < 4; ++chunking) {
        std::vector<int32_t> edges = {0};
        if (n == 0) edges.push_back(0);  // one chunk of no samples
        while (edges.back() < n) {
            int32_t size = n;
            if (chunking == 1) size = 997;
            if (chunking == 2) size = 1 + static_cast<int32_t>(rng() % 3000);
            if (chunking == 3) size = count > 400 ? 1 + static_cast<int32_t>(rng() % 5) : 1;
            edges.push_back(std::min(n, edges.back() + size));
        }
        const size_t chunks = edges.size() - 1;
        SCOPED_TRACE(::testing::Message() << "chunking " << chunking << ", " << chunks << " chunks");
        std::vector<std::array<std::vector<T>, 3>> partial(chunks);
        std::vector<regkern::JointbinsCensus> census;
        std::array<regkern::JointbinsImageEnds, 2> extremes;
        const double inf = std::numeric_limits<double>::infinity();
        for (auto& e : extremes) e = {std::nan(""), std::nan(""), inf, -inf};
        for (size_t j = 0; j < chunks; ++j) {
            const int32_t m = edges[j + 1] - edges[j];
            const auto chunk_in = inputs(first.data() + edges[j], second.data() + edges[j], m);
            regkern::GatewayWarnings dropped;
            const auto chunk_plan = regkern::check_jointbins<T>(chunk_in.data(), dropped);
            for (int o = 0; o < 3; ++o) partial[j][o].assign(cells[o], T(0));
            census.push_back(regkern::run_jointbins_partial(chunk_plan, partial[j][0].data(),
                                                            partial[j][1].data(), partial[j][2].data()));
            for (int image = 0; image < 2; ++image) {
                double l, g;
                const T* data = (image ? second : first).data() + edges[j];
                regkern::finite_extremes(data, m, l, g);
                const auto spread = regkern::value_spread<T>(data, m, lo[0], hi[0]);
                regkern::JointbinsImageEnds& e = extremes[image];
                e = {std::fmin(e.least, l), std::fmax(e.greatest, g),
                     std::fmin(e.spread_least, static_cast<double>(spread.least)),
                     std::fmax(e.spread_greatest, static_cast<double>(spread.greatest))};
            }
        }
        const regkern::JointbinsCensus total = regkern::total_census(census);
        auto combine = [&]() {
            std::vector<std::vector<T>> out(3);
            for (int o = 0; o < 3; ++o) {
                std::vector<const T*> sums;
                for (size_t j = 0; j < chunks; ++j) sums.push_back(partial[j][o].data());
                out[o].resize(cells[o]);
                regkern::combine_jointbins_sums<T>(sums, static_cast<int64_t>(cells[o]), total.count,
                                                   out[o].data());
            }
            return out;
        };
        const auto combined = combine();
        const auto again = combine();
        const double u = std::numeric_limits<T>::epsilon() / 2;
        for (int o = 0; o < 3; ++o) {
            // m <= 4 N additions per joint cell, 2 N per single-image bin.
            const double m = (o == 0 ? 4.0 : 2.0) * static_cast<double>(count);
            const double bound = (2 * m + 2 + chunks * 0x1p-52 / (2 * u)) * u * (1 + 1e-6);
            for (size_t i = 0; i < cells[o]; ++i) {
                const double c = combined[o][i], w = whole[o][i];
                ASSERT_TRUE(same_bits(combined[o][i], again[o][i]));
                if (chunks == 1) {
                    ASSERT_TRUE(same_bits(combined[o][i], whole[o][i])) << "output " << o << " cell " << i;
                } else {
                    ASSERT_LE(std::fabs(c - w), bound * std::max(std::fabs(c), std::fabs(w)))
                        << "output " << o << " cell " << i << ": " << c << " vs " << w;
                }
            }
        }
        regkern::GatewayWarnings chunked;
        const T* const histograms[2] = {combined[1].data(), combined[2].data()};
        regkern::warn_jointbins_combined<T>(lo[0], hi[0], bins, total, extremes, histograms, chunked);
        ASSERT_EQ(chunked.count, census_kind != 0 && count > 0 ? 1 : 0);
        std::vector<std::string> whole_said, chunked_said;
        for (int w = 0; w < whole_warnings.count; ++w)
            if (std::string(whole_warnings.condition[w]) == "outOfBounds" ||
                std::string(whole_warnings.condition[w]) == "narrowData")
                whole_said.push_back(whole_warnings.message[w]);
        for (int w = 0; w < chunked.count; ++w) chunked_said.push_back(chunked.message[w]);
        EXPECT_EQ(chunked_said, whole_said);
        const auto named = regkern::jointbins_mostly_outside<T>(total, lo[0], hi[0]);
        EXPECT_EQ(named[0], outside);
    }
}

TEST(Regions, JointHistogramChunksCombineWithinTheBound)
{
    std::mt19937 rng(1209);
    expect_jointbins_chunks_combine<double>(20000, 17, 0, rng);
    expect_jointbins_chunks_combine<float>(20000, 9, 1, rng);
    expect_jointbins_chunks_combine<float>(300, 40, 0, rng);
    expect_jointbins_chunks_combine<double>(0, 5, 0, rng);
    expect_jointbins_chunks_combine<double>(5000, 33, 2, rng);
    expect_jointbins_chunks_combine<float>(3000, 64, 2, rng);

    // The partials are added in chunk order, chunk 0 first: 1, then two
    // halves of its last bit, each lost to rounding (in the other order
    // they would add up to one bit more).
    const double tiny = std::ldexp(1.0, -53);
    const double chunk0[1] = {1.0}, chunk1[1] = {tiny}, chunk2[1] = {tiny};
    double combined[1];
    regkern::combine_jointbins_sums<double>({chunk0, chunk1, chunk2}, 1, 1, combined);
    EXPECT_EQ(combined[0], 1.0);
}


// Region arguments that cannot describe a box of the grid are refused before
// anything is read, whichever family asks.
TEST(Regions, RegionArgumentsOutsideTheGridAreRefused)
{
    using V = std::vector<int64_t>;
    struct Bad {
        V grid, origin, lo, hi;
    };
    const Bad table[] = {
        {{4, 4}, {0, 0}, {0, 0}, {4, 4}},                       // two axes for a volume
        {{4, 4, 4}, {0, 0, 0}, {0, 0, 0}, {4, 5, 4}},           // hi beyond the grid
        {{4, 4, 4}, {0, 0, 0}, {3, 0, 0}, {2, 4, 4}},           // lo above hi
        {{4, 4, 4}, {0, -1, 0}, {0, 0, 0}, {4, 4, 4}},          // origin before the grid
        {{4, 4, int64_t{1} << 31}, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}},  // extent beyond int32
        {{1 << 20, 1 << 20, 4}, {0, 0, 0}, {0, 0, 0}, {1 << 16, 1 << 16, 1}},  // 2^32 points
    };
    for (const Bad& bad : table) {
        try {
            regkern::check_grid_region<3>(bad.grid, bad.origin, bad.lo, bad.hi);
            ADD_FAILURE() << "taken: hi " << bad.hi[0] << ", " << bad.hi[1];
        } catch (const regkern::Failure& failure) {
            EXPECT_STREQ(failure.condition, "regionArguments");
        }
    }
    // Inputs reaching past the grid's far face.
    const auto region = regkern::check_grid_region<3>({4, 4, 4}, {0, 0, 2}, {0, 0, 2}, {4, 4, 3});
    EXPECT_THROW(regkern::check_region_covered<3>(region, {4, 4, 3}, {0, 0, 0}, {0, 0, 0}),
                 regkern::Failure);
    EXPECT_NO_THROW(regkern::check_region_covered<3>(region, {4, 4, 2}, {0, 0, 0}, {0, 0, 9}));
}

}  // namespace
