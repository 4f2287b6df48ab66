// The host side of the refinement plug-ins: argument checks, output creation
// and the thread count around refine_field (dispinvert_refine.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dispinvert_refine.h"
#include "dispinvert_refine_rules.h"
#include "host_args.h"
#include "memory.h"
#include "mex.h"

namespace regkern {

// Argument counts, their messages and the names inputs are reported by: the
// backward field's components, the start field's, the step count and the
// tolerance.
template <int N> struct RefinementArguments;

template <> struct RefinementArguments<3> {
    static constexpr const char* input_count_message = "Eight inputs are required.";
    static constexpr const char* output_count_message = "Three to five outputs are required";
    static constexpr std::array<InputName, 6> field = {
        InputName{"bx", 1},  InputName{"by", 2},  InputName{"bz", 3},
        InputName{"Fx0", 4}, InputName{"Fy0", 5}, InputName{"Fz0", 6}};
    static constexpr InputName steps = {"steps", 7};
    static constexpr InputName tolerance = {"tol", 8};
};

template <> struct RefinementArguments<2> {
    static constexpr const char* input_count_message = "Six inputs are required.";
    static constexpr const char* output_count_message = "Two to four outputs are required";
    static constexpr std::array<InputName, 4> field = {
        InputName{"bx", 1}, InputName{"by", 2}, InputName{"Fx0", 3}, InputName{"Fy0", 4}};
    static constexpr InputName steps = {"steps", 5};
    static constexpr InputName tolerance = {"tol", 6};
};

// Every field input must have the grid of bx as its first N extents: the
// start field is a field on b's grid, and a component of another shape
// would be read in the wrong layout.
template <int N>
void check_refinement_grid(const mxArray* array, InputName input,
                           const std::array<int32_t, N>& grid)
{
    const std::array<int32_t, N> extents = leading_extents<N>(array, input);
    if (extents == grid) return;
    std::string wanted;
    for (int a = 0; a < N; ++a) wanted += (a > 0 ? "x" : "") + std::to_string(grid[a]);
    fail("sizeMismatch", label(input) + " is " + size_text(array) + "; pass a " + wanted +
                             " array, the grid of " + label(RefinementArguments<N>::field[0]));
}

// mexFunction of a refinement plug-in: N-D field in element type T.
template <class T, int N>
void dispinvert_refine_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                               GatewayWarnings& warnings)
{
    using Args = RefinementArguments<N>;
    if (nrhs != 2 * N + 2) fail("nrhs", Args::input_count_message);
    if (nlhs < N || nlhs > N + 2) fail("nlhs", Args::output_count_message);
    constexpr bool as_single = sizeof(T) == sizeof(float);

    FieldRefinement<T, N> job;
    std::array<const T*, 2 * N> field;
    for (int a = 0; a < 2 * N; ++a) field[a] = real_input<T>(prhs[a], Args::field[a]);
    const T* steps_data = real_input<T>(prhs[2 * N], Args::steps);
    const T* tolerance_data = real_input<T>(prhs[2 * N + 1], Args::tolerance);
    for (int a = 0; a < N; ++a) {
        job.backward[a] = field[a];
        job.start[a] = field[N + a];
    }
    job.grid = leading_extents<N>(prhs[0], Args::field[0]);
    int32_t grid_count = 1;  // leading_extents keeps the product within int32
    for (int a = 0; a < N; ++a) grid_count *= job.grid[a];
    {
        // Scoped: nothing with a destructor may be alive when the outputs are
        // created, since a failed creation leaves through the host's error exit.
        for (int a = 1; a < 2 * N; ++a) check_refinement_grid<N>(prhs[a], Args::field[a], job.grid);
        const T steps = first_element<T>(prhs[2 * N], steps_data, Args::steps,
                                         "a whole number from 0 to 1000");
        const T tolerance = first_element<T>(prhs[2 * N + 1], tolerance_data, Args::tolerance,
                                             "a finite tolerance of at least 0, e.g. 1e-4");
        job.steps = refinement_steps(static_cast<double>(steps), label(Args::steps), as_single);
        job.tolerance =
            refinement_tolerance(static_cast<double>(tolerance), label(Args::tolerance), as_single);

        std::vector<InputName> sliced;
        for (int a = 0; a < 2 * N; ++a)
            if (has_extra_slices(prhs[a], N) &&
                static_cast<int64_t>(mxGetNumberOfElements(prhs[a])) > grid_count)
                sliced.push_back(Args::field[a]);
        warn_extra_slices(warnings, sliced, N);

        // The outputs (the residual among them), the field's second buffer
        // and b packed point by point.
        const double fields = 3.0 * N + (nlhs > N ? 1.0 : 0.0);
        require_available_memory(fields * grid_count * sizeof(T),
                                 "the refined field with its residual and scratch",
                                 "free memory or refine a smaller field");
    }

    const int32_t workers = worker_count(host_thread_count(), job.grid[N - 1]);

    std::array<mwSize, N> dims;
    for (int a = 0; a < N; ++a) dims[a] = static_cast<mwSize>(job.grid[a]);
    for (int a = 0; a < N; ++a) job.forward[a] = create_output<T>(&plhs[a], N, dims.data());
    job.residual = nlhs > N ? create_output<T>(&plhs[N], N, dims.data()) : nullptr;
    T* steps_done = nullptr;
    if (nlhs > N + 1) {
        const mwSize one[2] = {1, 1};
        steps_done = create_output<T>(&plhs[N + 1], 2, one);
    }

    const RefinementOutcome outcome = refine_field<T, N>(job, workers);
    if (steps_done) *steps_done = static_cast<T>(outcome.steps_done);
    if (grid_count > 0)
        warn_refinement(outcome, job.steps, label(Args::tolerance), job.tolerance, as_single,
                        N == 3 ? "voxel" : "pixel", warnings);
}

}  // namespace regkern
