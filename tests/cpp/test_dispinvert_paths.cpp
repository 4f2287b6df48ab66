// The splatting and refinement code on every vector path this processor runs (portable
// doubles, SSE2, AVX2, AVX-512) and on 1, 2, 3 and 7 workers must give the
// bits of the literal model. Calls the core directly with the path limited
// in turn, since a plug-in always takes the widest path; the paths the
// processor lacks are named as skipped.
#include "../../dispinvert/dispinvert_core.h"
#include "../../dispinvert/dispinvert_refine_core.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "reference/dispinvert_reference.h"
#include "reference/dispinvert_refine_reference.h"
#include "test_dispinvert_support.h"

namespace {

using dispinvert_test::count_of;
using dispinvert_test::random_component;
using dispinvert_test::random_kernel;
using dispinvert_test::same_bits;
using regkern::KernelOrder;
using regkern::VectorPath;

std::vector<VectorPath> runnable_paths()
{
    static const bool reported = [] {
        for (int p = static_cast<int>(regkern::fastest_vector_path()) + 1;
             p <= static_cast<int>(VectorPath::avx512); ++p)
            std::printf("[ SKIPPED  ] the %s path: this processor does not have it\n",
                        regkern::vector_path_name(static_cast<VectorPath>(p)));
        return true;
    }();
    (void)reported;
    std::vector<VectorPath> paths;
    for (int p = 0; p <= static_cast<int>(regkern::fastest_vector_path()); ++p)
        paths.push_back(static_cast<VectorPath>(p));
    return paths;
}

// Runs the inversion on the field b (one component per axis) and kernel h.
template <class T, int N, KernelOrder Order>
std::vector<std::vector<T>> invert(const std::vector<int>& grid,
                                   const std::vector<std::vector<T>>& b,
                                   const std::vector<int>& kdims, const std::vector<T>& h,
                                   int workers, VectorPath path)
{
    const size_t n = static_cast<size_t>(count_of(grid));
    std::vector<std::vector<T>> forward(N, std::vector<T>(n));
    regkern::InversionPlan<T, N> plan = {};
    std::array<T*, N> out;
    for (int a = 0; a < N; ++a) {
        plan.job.grid[a] = grid[a];
        plan.job.box_hi[a] = grid[a];
        plan.job.kernel_extent[a] = kdims[a];
        plan.job.backward[a] = b[a].data();
        out[a] = forward[a].data();
    }
    plan.job.kernel = h.data();
    regkern::vector_path_limit() = path;
    regkern::run_inversion<T, N, Order>(plan, out.data(), workers);
    regkern::vector_path_limit() = VectorPath::avx512;
    return forward;
}

// Every path and worker count against the model's components.
template <class T, int N, KernelOrder Order>
void expect_every_path_matches(const std::vector<int>& grid, const std::vector<std::vector<T>>& b,
                               const std::vector<int>& kdims, const std::vector<T>& h,
                               const std::vector<std::vector<T>>& model)
{
    for (VectorPath path : runnable_paths()) {
        for (int workers : {1, 2, 3, 7}) {
            SCOPED_TRACE(::testing::Message() << regkern::vector_path_name(path) << ", "
                                              << workers << " workers");
            const auto f = invert<T, N, Order>(grid, b, kdims, h, workers, path);
            for (int a = 0; a < N; ++a) EXPECT_TRUE(same_bits(f[a], model[a]));
        }
    }
}

template <class T, KernelOrder Order>
void expect_volume_matches_model(const std::vector<int>& grid, const std::vector<int>& kdims,
                                 std::mt19937& rng)
{
    SCOPED_TRACE(::testing::Message() << (sizeof(T) == 4 ? "single" : "double") << " grid "
                                      << grid[0] << "x" << grid[1] << "x" << grid[2]
                                      << " kernel " << kdims[0] << "x" << kdims[1] << "x"
                                      << kdims[2]);
    std::vector<std::vector<T>> b(3);
    for (int a = 0; a < 3; ++a) b[a] = random_component<T>(rng, count_of(grid), grid[a]);
    const auto h = random_kernel<T>(rng, count_of(kdims), true);
    const auto model = reference::invert_volume<T>(
        b[0], b[1], b[2], grid[0], grid[1], grid[2], h, kdims[0], kdims[1], kdims[2],
        Order == KernelOrder::low_axis_outermost);
    expect_every_path_matches<T, 3, Order>(grid, b, kdims, h, {model.fx, model.fy, model.fz});
}

// Grids with more z-planes than the largest worker count and with fewer,
// a row of 4096 bytes of sums, kernels of odd, even and unit extents.
TEST(VectorPathsAndWorkers, VolumesInBothPrecisionsMatchTheModel)
{
    std::mt19937 rng(77);
    for (const auto& grid : std::vector<std::vector<int>>{{9, 7, 13}, {128, 3, 5}, {6, 5, 2}}) {
        for (const auto& kdims :
             std::vector<std::vector<int>>{{3, 3, 3}, {4, 1, 5}, {1, 2, 1}, {6, 5, 4}}) {
            expect_volume_matches_model<double, KernelOrder::high_axis_outermost>(grid, kdims, rng);
            expect_volume_matches_model<float, KernelOrder::low_axis_outermost>(grid, kdims, rng);
        }
    }
}

TEST(VectorPathsAndWorkers, PlanesMatchTheModel)
{
    std::mt19937 rng(78);
    for (const auto& grid : std::vector<std::vector<int>>{{13, 11}, {128, 12}, {7, 3}}) {
        for (const auto& kdims : std::vector<std::vector<int>>{{5, 5}, {2, 3}, {1, 1}, {8, 2}}) {
            SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1]
                                              << " kernel " << kdims[0] << "x" << kdims[1]);
            std::vector<std::vector<double>> b(2);
            for (int a = 0; a < 2; ++a)
                b[a] = random_component<double>(rng, count_of(grid), grid[a]);
            const auto h = random_kernel<double>(rng, count_of(kdims), true);
            const auto model =
                reference::invert_plane(b[0], b[1], grid[0], grid[1], h, kdims[0], kdims[1]);
            expect_every_path_matches<double, 2, KernelOrder::high_axis_outermost>(
                grid, b, kdims, h, {model.fx, model.fy});
        }
    }
}

// The refinement of a volume in double (the one with vector paths) on
// every path and worker count, with either step: rows of 1 to 13 points
// (vector blocks of 4 and scalar tails), NaN and infinities in b and the
// start field, residual output and none, against the model's field,
// residual and step count.
TEST(VectorPathsAndWorkers, RefinementMatchesTheModel)
{
    std::mt19937 rng(79);
    int trial = 0;
    for (const auto& grid : std::vector<std::vector<int>>{{1, 3, 4}, {4, 2, 3}, {5, 4, 3},
                                                          {8, 3, 9}, {13, 6, 5}}) {
        const int64_t n = count_of(grid);
        std::vector<std::vector<double>> b(3), start(3);
        for (int a = 0; a < 3; ++a) {
            b[a] = random_component<double>(rng, n, grid[a]);
            start[a] = random_component<double>(rng, n, grid[a]);
        }
        b[1][n / 2] = std::numeric_limits<double>::quiet_NaN();
        start[2][n - 1] = std::numeric_limits<double>::infinity();
        const int steps = 1 + trial % 4;
        for (auto method : {regkern::RefinementMethod::fixed_point, regkern::RefinementMethod::newton}) {
        const bool newton = method == regkern::RefinementMethod::newton;
        const auto model = reference::refine_field<double>(b, start, grid, steps, 0, newton);
        for (VectorPath path : runnable_paths()) {
            for (int workers : {1, 2, 3, 7}) {
                SCOPED_TRACE(::testing::Message() << "grid " << grid[0] << "x" << grid[1] << "x"
                                                  << grid[2] << ", " << regkern::vector_path_name(path)
                                                  << ", " << workers << " workers"
                                                  << (newton ? ", Newton" : ""));
                regkern::FieldRefinement<double, 3> job = {};
                std::vector<std::vector<double>> f(3, std::vector<double>(n));
                std::vector<double> r(n);
                for (int a = 0; a < 3; ++a) {
                    job.grid[a] = grid[a];
                    job.backward[a] = b[a].data();
                    job.start[a] = start[a].data();
                    job.forward[a] = f[a].data();
                }
                job.steps = steps;
                job.tolerance = 0;
                job.method = method;
                const bool with_residual = (workers + trial) % 2 == 0;
                job.residual = with_residual ? r.data() : nullptr;
                const auto outcome = regkern::refine_field<double, 3>(job, workers, path);
                EXPECT_EQ(outcome.steps_done, model.steps_done);
                EXPECT_EQ(outcome.max_residual, model.largest.back());
                for (int a = 0; a < 3; ++a) EXPECT_TRUE(same_bits(f[a], model.field[a]));
                if (with_residual) {
                    EXPECT_TRUE(same_bits(r, model.residual));
                }
            }
        }
        }
        ++trial;
    }
}

}  // namespace
