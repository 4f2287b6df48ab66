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
    static constexpr std::array<InputName, 3> component = {
        InputName{"bx", 1}, InputName{"by", 2}, InputName{"bz", 3}};
    static constexpr InputName kernel = {"H", 4};
};

template <> struct InversionArguments<2> {
    static constexpr const char* input_count_message = "Three inputs are required.";
    static constexpr const char* output_count_message = "Two outputs are required";
    static constexpr std::array<InputName, 2> component = {InputName{"bx", 1}, InputName{"by", 2}};
    static constexpr InputName kernel = {"H", 3};
};

// Calls that are carried out but can only be a mistake: inputs with slices
// beyond the N extents read, and a kernel that spreads nothing (every output
// is then 0).
template <class T, int N>
void warn_inversion_call(const mxArray* const prhs[], int32_t grid_count,
                         int32_t kernel_count, const T* kernel, GatewayWarnings& warnings)
{
    using Args = InversionArguments<N>;
    std::vector<InputName> sliced;
    for (int a = 0; a <= N; ++a) {
        const int64_t read = a == N ? kernel_count : grid_count;
        if (has_extra_slices(prhs[a], N) &&
            static_cast<int64_t>(mxGetNumberOfElements(prhs[a])) > read)
            sliced.push_back(a == N ? Args::kernel : Args::component[a]);
    }
    warn_extra_slices(warnings, sliced, N);

    if (grid_count == 0) return;
    bool all_zero = true;
    for (int32_t i = 0; i < kernel_count && all_zero; ++i) all_zero = kernel[i] == 0;
    if (all_zero)
        warn(warnings, "zeroKernel",
             label(Args::kernel) + " is " +
                 (kernel_count == 0 ? "empty (" + size_text(prhs[N]) + ")" : "all zero") +
                 ": no share is spread and every output is 0; pass a kernel with a nonzero "
                 "element, e.g. 1 (no spreading)");
}

// mexFunction of a field-inversion plug-in: N-D field in element type T,
// kernel loops in the given order.
template <class T, int N, KernelOrder Order>
void dispinvert_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                        GatewayWarnings& warnings)
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
        const std::string per = "one per point of the grid of " + label(Args::component[0]);
        for (int a = 1; a < N; ++a) check_min_elements(prhs[a], grid_count, Args::component[a], per);
        warn_inversion_call<T, N>(prhs, grid_count, detail::product<N>(job.kernel_extent),
                                  job.kernel, warnings);
    }

    // One worker per slab of the last grid axis at most.
    const int32_t workers = worker_count(host_thread_count(), job.grid[N - 1]);

    std::array<mwSize, N> dims;
    for (int a = 0; a < N; ++a) dims[a] = static_cast<mwSize>(job.grid[a]);
    for (int a = 0; a < N; ++a) job.forward[a] = create_output<T>(&plhs[a], N, dims.data());
    // An empty grid has nothing to splat or normalise; its scratch (a row of
    // up to 2^31 - 1 points) is not taken.
    if (grid_count == 0) return;

    invert_field<T, N, Order>(job, workers, fastest_vector_path());
}

}  // namespace regkern
