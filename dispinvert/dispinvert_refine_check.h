// The refinement's checks, shared by every front end: the inputs' shapes,
// the step count and tolerance, the warnings, and the plan that the run
// (dispinvert_refine_core.h) carries out. Nothing here calls a host.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "dispinvert_field.h"  // extent_product
#include "dispinvert_refine.h"
#include "memory.h"
#include "plain_array.h"

namespace regkern {

// The inputs as messages name them: the backward field's components, the
// start field's, the step count and the tolerance.
constexpr InputName refine_volume_input_names[8] = {
    {"bx", 1}, {"by", 2}, {"bz", 3}, {"Fx0", 4}, {"Fy0", 5}, {"Fz0", 6}, {"steps", 7}, {"tol", 8}};
constexpr InputName refine_plane_input_names[6] = {{"bx", 1},  {"by", 2},    {"Fx0", 3},
                                                   {"Fy0", 4}, {"steps", 5}, {"tol", 6}};

// The field, then the residual and the steps done, which a call may leave off.
constexpr CallSignature refine_volume_signature = {
    8, "Eight inputs are required.", 5, "Three to five outputs are required",
    refine_volume_input_names, 2};
constexpr CallSignature refine_plane_signature = {
    6, "Six inputs are required.", 4, "Two to four outputs are required", refine_plane_input_names,
    2};

template <int N>
constexpr const CallSignature& refine_signature =
    N == 3 ? refine_volume_signature : refine_plane_signature;

// A call runs at most this many steps. The step converges in a handful of
// steps where it converges at all (each one shrinks the residual by the
// slope of b), so a larger count can only be a mistake, and one that would
// hold the host for minutes on a large field with no way to interrupt it.
constexpr int32_t max_refinement_steps = 1000;

// A checked call: the refinement (its outputs still unset) and the outputs'
// shapes (field, residual, steps done). Plain data: a front end may leave through its host's error exit
// while it holds one.
template <class T, int N>
struct RefinementPlan {
    FieldRefinement<T, N> job;
    OutputShape output[N + 2];
    bool zero_fill;
};
static_assert(std::is_trivially_destructible<RefinementPlan<float, 3>>::value &&
                  std::is_trivially_destructible<RefinementPlan<double, 2>>::value,
              "a plan must survive the host's error exit");

// Every field input has the grid of bx as its first N extents: the start
// field is a field on b's grid, and a component of another shape would be
// read in the wrong layout.
template <int N>
void check_refinement_grid(const PlainArray& array, InputName input,
                           const std::array<int32_t, N>& grid)
{
    if (leading_extents<N>(array, input) == grid) return;
    std::string wanted;
    for (int a = 0; a < N; ++a) wanted += (a > 0 ? "x" : "") + std::to_string(grid[a]);
    fail("sizeMismatch", label(input) + " is " + size_text(array) + "; pass a " + wanted +
                             " array, the grid of " + label(refine_signature<N>.names[0]));
}

template <class T>
int32_t refinement_steps(T value, InputName input)
{
    const double v = static_cast<double>(value);
    if (!(v >= 0 && v <= max_refinement_steps && v == std::floor(v)))
        fail("badSteps", label(input) + " is " + value_text(value) +
                             "; pass a whole number from 0 to 1000");
    return static_cast<int32_t>(v);
}

template <class T>
double refinement_tolerance(T value, InputName input, const char* unit)
{
    const double v = static_cast<double>(value);
    if (!(v >= 0 && std::isfinite(v)))
        fail("badTolerance", label(input) + " is " + value_text(value) +
                                 "; pass a finite tolerance of at least 0 (in " + unit +
                                 "s), e.g. 1e-4");
    return v;
}

// Checks a call of the N-D refinement on its 2N + 2 inputs (of element type
// T, in call order) and plans it.
template <class T, int N>
RefinementPlan<T, N> check_refinement(const PlainArray* in, GatewayWarnings& warnings)
{
    const InputName* names = refine_signature<N>.names;
    const char* unit = N == 3 ? "voxel" : "pixel";
    RefinementPlan<T, N> plan = {};
    FieldRefinement<T, N>& job = plan.job;
    job.grid = leading_extents<N>(in[0], names[0]);
    for (int a = 1; a < 2 * N; ++a) check_refinement_grid<N>(in[a], names[a], job.grid);
    for (int a = 0; a < N; ++a) {
        job.backward[a] = data_of<T>(in[a]);
        job.start[a] = data_of<T>(in[N + a]);
    }
    job.steps = refinement_steps(
        first_element<T>(in[2 * N], names[2 * N], "a whole number from 0 to 1000"), names[2 * N]);
    job.tolerance = refinement_tolerance(
        first_element<T>(in[2 * N + 1], names[2 * N + 1],
                         "a finite tolerance of at least 0, e.g. 1e-4"),
        names[2 * N + 1], unit);

    const int32_t grid_count = extent_product<N>(job.grid);
    std::vector<InputName> sliced;
    for (int a = 0; a < 2 * N; ++a)
        if (has_extra_slices(in[a], N) && static_cast<int64_t>(in[a].count) > grid_count)
            sliced.push_back(names[a]);
    warn_extra_slices(warnings, sliced, N);

    // The field and its residual, and the field's second buffer.
    require_available_memory((2.0 * N + 1) * grid_count * sizeof(T),
                             "the refined field with its residual and scratch",
                             "free memory or refine a smaller field");

    OutputShape field = {N, {0, 0, 0}};
    for (int a = 0; a < N; ++a) field.extent[a] = job.grid[a];
    for (int a = 0; a <= N; ++a) plan.output[a] = field;
    plan.output[N + 1] = OutputShape{2, {1, 1, 0}};
    plan.zero_fill = false;  // the run writes every element
    return plan;
}

// Checks the geometry of a box's pass (refine_region_pass): the box and
// b's sub-array lie in the whole grid, and the sub-array holds the box.
// That the sub-array holds every point the pass reads (the halo) only the
// pass can tell: it refuses a read outside (haloTooThin).
template <class T, int N>
void check_refinement_region(const FieldRefinement<T, N>& job)
{
    const char* axis_name[3] = {"x", "y", "z"};
    for (int a = 0; a < N; ++a) {
        const int64_t origin = job.origin[a], end = origin + job.grid[a];
        const int64_t b_origin = job.backward_origin[a], b_end = b_origin + job.backward_grid[a];
        const int64_t whole = job.whole[a];
        std::string where = std::string("along ") + axis_name[a] + " the box is " +
                            std::to_string(origin) + ".." + std::to_string(end - 1) +
                            ", b's sub-array " + std::to_string(b_origin) + ".." +
                            std::to_string(b_end - 1) + " and the whole grid 0.." +
                            std::to_string(whole - 1) + " (0-based)";
        if (job.grid[a] < 0 || job.backward_grid[a] < 0 || whole < 1 || origin < 0 ||
            end > whole || b_origin < 0 || b_end > whole)
            fail("badRegion", where + "; pass a box and a sub-array inside the whole grid");
        if (job.grid[a] > 0 && (b_origin > origin || b_end < end))
            fail("badRegion", where + "; pass b on the box and its halo (at least the box)");
    }
}

// notConverged when steps were asked for and the residual is still above
// the tolerance; a residual that grew from one step to the next says why.
template <class T, int N>
void warn_refinement(const RefinementOutcome& outcome, const FieldRefinement<T, N>& job,
                     GatewayWarnings& warnings)
{
    if (job.steps == 0 || outcome.converged) return;
    const std::string unit = N == 3 ? "voxel" : "pixel";
    // Measured residuals to three digits; the tolerance as the caller wrote it.
    const auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", v);
        return std::string(text);
    };
    std::string message = "after " + std::to_string(outcome.steps_done) +
                          (outcome.steps_done == 1 ? " step" : " steps") +
                          " the largest residual |F(q) + b(q + F(q))| is " +
                          number(outcome.max_residual) + " " + unit + ", above " +
                          label(refine_signature<N>.names[2 * N + 1]) + " = " +
                          value_text(static_cast<T>(job.tolerance));
    if (outcome.grew_at > 0)
        message += "; it grew from " + number(outcome.before_growth) + " to " +
                   number(outcome.after_growth) + " at step " + std::to_string(outcome.grew_at) +
                   ": the step diverges where b folds (p + b(p) is not one-to-one) or changes "
                   "by a " + unit + " or more per " + unit + "; smooth b or check it";
    else
        message += "; pass more steps or a larger tolerance";
    warn(warnings, "notConverged", message);
}

}  // namespace regkern
