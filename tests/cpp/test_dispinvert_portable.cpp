// The splatting code built with its portable two-lane arithmetic (plain
// doubles instead of SSE2, what builds for other processors use) must give
// the bits of the literal model too. Calls the algorithm directly: no
// plug-in on this machine is built that way.
#define REGKERN_PAIR_PORTABLE 1
#include "../../dispinvert/splat.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "reference/dispinvert_reference.h"
#include "test_dispinvert_support.h"

#ifdef REGKERN_PAIR_SSE2
#error "the portable two-lane arithmetic was not selected"
#endif

namespace {

using dispinvert_test::count_of;
using dispinvert_test::random_component;
using dispinvert_test::random_kernel;
using dispinvert_test::same_bits;

// Runs invert_field on the field b (one component per axis) and kernel h.
template <class T, int N, regkern::KernelOrder Order>
std::vector<std::vector<T>> invert(const std::vector<int>& grid,
                                   const std::vector<std::vector<T>>& b,
                                   const std::vector<int>& kdims, const std::vector<T>& h)
{
    const size_t n = static_cast<size_t>(count_of(grid));
    std::vector<std::vector<T>> forward(N, std::vector<T>(n));
    std::vector<T> weight_sum(n), row(static_cast<size_t>(grid[0]));
    regkern::FieldInversion<T, N> job;
    for (int a = 0; a < N; ++a) {
        job.grid[a] = grid[a];
        job.kernel_extent[a] = kdims[a];
        job.backward[a] = b[a].data();
        job.forward[a] = forward[a].data();
    }
    job.kernel = h.data();
    job.weight_sum = weight_sum.data();
    job.row_buffer = row.data();
    regkern::invert_field<T, N, Order>(job);
    return forward;
}

template <class T, regkern::KernelOrder Order>
void expect_volume_matches_model(const std::vector<int>& grid, const std::vector<int>& kdims,
                                 std::mt19937& rng)
{
    SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1] << "x" << grid[2]
                                      << " kernel " << kdims[0] << "x" << kdims[1] << "x"
                                      << kdims[2]);
    std::vector<std::vector<T>> b(3);
    for (int a = 0; a < 3; ++a) b[a] = random_component<T>(rng, count_of(grid), grid[a]);
    const auto h = random_kernel<T>(rng, count_of(kdims));
    const auto f = invert<T, 3, Order>(grid, b, kdims, h);
    const auto model = reference::invert_volume<T>(
        b[0], b[1], b[2], grid[0], grid[1], grid[2], h, kdims[0], kdims[1], kdims[2],
        Order == regkern::KernelOrder::low_axis_outermost);
    EXPECT_TRUE(same_bits(f[0], model.fx));
    EXPECT_TRUE(same_bits(f[1], model.fy));
    EXPECT_TRUE(same_bits(f[2], model.fz));
}

TEST(PortableArithmetic, VolumesInBothPrecisionsMatchTheModel)
{
    std::mt19937 rng(77);
    using regkern::KernelOrder;
    for (const auto& grid : std::vector<std::vector<int>>{{9, 7, 6}, {512, 4, 3}}) {
        for (const auto& kdims : std::vector<std::vector<int>>{{3, 3, 3}, {4, 1, 5}}) {
            expect_volume_matches_model<double, KernelOrder::high_axis_outermost>(grid, kdims, rng);
            expect_volume_matches_model<float, KernelOrder::low_axis_outermost>(grid, kdims, rng);
        }
    }
}

TEST(PortableArithmetic, PlanesMatchTheModel)
{
    std::mt19937 rng(78);
    for (const auto& grid : std::vector<std::vector<int>>{{13, 11}, {512, 12}}) {
        for (const auto& kdims : std::vector<std::vector<int>>{{5, 5}, {2, 3}}) {
            SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1]
                                              << " kernel " << kdims[0] << "x" << kdims[1]);
            std::vector<std::vector<double>> b(2);
            for (int a = 0; a < 2; ++a)
                b[a] = random_component<double>(rng, count_of(grid), grid[a]);
            const auto h = random_kernel<double>(rng, count_of(kdims));
            const auto f =
                invert<double, 2, regkern::KernelOrder::high_axis_outermost>(grid, b, kdims, h);
            const auto model =
                reference::invert_plane(b[0], b[1], grid[0], grid[1], h, kdims[0], kdims[1]);
            EXPECT_TRUE(same_bits(f[0], model.fx));
            EXPECT_TRUE(same_bits(f[1], model.fy));
        }
    }
}

}  // namespace
