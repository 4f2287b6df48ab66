// The host side of the field-inversion plug-ins: argument checks, output
// creation and the thread count around invert_field (splat.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host_args.h"
#include "mex.h"
#include "splat.h"

namespace regkern {

// Argument counts, their messages and the names inputs are reported by, per
// dimensionality: the components of the backward field, then the kernel.
template <int N> struct InversionArguments;

template <> struct InversionArguments<3> {
    static constexpr const char* input_count_message = "Four inputs are required.";
    static constexpr const char* output_count_message = "Three outputs are required";
    static constexpr std::array<const char*, 3> component = {"bx (input 1)", "by (input 2)",
                                                             "bz (input 3)"};
    static constexpr const char* kernel = "kernel (input 4)";
    static constexpr const char* extents = "first three extents";
};

template <> struct InversionArguments<2> {
    static constexpr const char* input_count_message = "Three inputs are required.";
    static constexpr const char* output_count_message = "Two outputs are required";
    static constexpr std::array<const char*, 2> component = {"bx (input 1)", "by (input 2)"};
    static constexpr const char* kernel = "kernel (input 3)";
    static constexpr const char* extents = "first two extents";
};

namespace detail {

// The plug-in reads `needed` elements of the input, so it must hold them.
// (An input whose later extents include a 0 holds none, whatever its leading
// extents say.)
inline void require_elements(const mxArray* array, int64_t needed, const char* input,
                             const std::string& why)
{
    if (static_cast<int64_t>(mxGetNumberOfElements(array)) < needed)
        fail("sizeMismatch", std::string(input) + " must hold at least " +
                                 std::to_string(needed) + " elements, " + why + ".");
}

}  // namespace detail

// mexFunction of a field-inversion plug-in: N-D field in element type T,
// kernel loops in the given order.
template <class T, int N, KernelOrder Order>
void dispinvert_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    using Args = InversionArguments<N>;
    check_counts(nrhs, N + 1, Args::input_count_message, nlhs, N, Args::output_count_message);

    FieldInversion<T, N> job;
    for (int a = 0; a < N; ++a) job.backward[a] = real_input<T>(prhs[a], Args::component[a]);
    job.kernel = real_input<T>(prhs[N], Args::kernel);

    // Extents a volume input does not report read as 1, so a plane field or
    // a 2-D kernel is a single slice.
    // leading_extents also refuses an input that holds fewer elements than
    // its own leading extents promise.
    job.grid = leading_extents<N>(prhs[0], Args::component[0]);
    job.kernel_extent = leading_extents<N>(prhs[N], Args::kernel);
    const int32_t grid_count = detail::product<N>(job.grid);
    {
        // Scoped: nothing with a destructor may be alive when the outputs are
        // created, since a failed creation leaves through the host's error exit.
        const std::string grid_reason = std::string("one per point of the grid that the ") +
                                        Args::extents + " of " + Args::component[0] + " give";
        for (int a = 1; a < N; ++a)
            detail::require_elements(prhs[a], grid_count, Args::component[a], grid_reason);
    }

    // One worker per slab of the last grid axis at most.
    const int32_t workers = worker_count(host_thread_count(), job.grid[N - 1]);

    std::array<mwSize, N> dims;
    for (int a = 0; a < N; ++a) dims[a] = static_cast<mwSize>(job.grid[a]);
    for (int a = 0; a < N; ++a) job.forward[a] = create_output<T>(&plhs[a], N, dims.data());

    invert_field<T, N, Order>(job, workers, fastest_vector_path());
}

}  // namespace regkern
