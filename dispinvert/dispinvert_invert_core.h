// The whole inverse of a backward field in one call (invert_field): the
// splat (dispinvert_core.h) into the output field, the refinement
// (dispinvert_refine.h) of that field in place, and the residual's
// statistics, with no host array in between. check_invert_field checks
// every input and option before any work; run_invert_field fills the field
// and the summary. InvertFieldCall binds both for the front ends
// (mex/invert_field_mex.h for the MEX hosts, regkern_module.cpp for
// Python), which name their errors and warnings "invert_field:<condition>".
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "dispinvert_check.h"
#include "dispinvert_core.h"
#include "dispinvert_refine.h"
#include "dispinvert_refine_check.h"
#include "memory.h"
#include "plain_array.h"
#include "scratch.h"
#include "vector_path.h"
#include "worker_threads.h"

namespace regkern {

// The inputs: b's components, then the options by the names the caller
// writes them with (number 0: messages name them alone, "tolerance is NaN").
constexpr InputName invert_volume_input_names[8] = {
    {"bx", 0}, {"by", 0}, {"bz", 0}, {"kernel", 0}, {"steps", 0}, {"tolerance", 0}, {"method", 0},
    {"threads", 0}};
constexpr InputName invert_plane_input_names[7] = {
    {"bx", 0}, {"by", 0}, {"kernel", 0}, {"steps", 0}, {"tolerance", 0}, {"method", 0},
    {"threads", 0}};

// The field, then the summary.
constexpr CallSignature invert_volume_signature = {
    8, "Eight inputs are required.", 4, "Four outputs are required", invert_volume_input_names};
constexpr CallSignature invert_plane_signature = {
    7, "Seven inputs are required.", 3, "Three outputs are required", invert_plane_input_names};

template <int N>
constexpr const CallSignature& invert_signature =
    N == 3 ? invert_volume_signature : invert_plane_signature;

// The summary output: a 1x5 double row, in this order.
enum InvertSummary {
    summary_steps,          // the refinement steps done
    summary_max_residual,   // the largest finite residual of F (0 if none)
    summary_mean_residual,  // the mean of the finite residuals (NaN if none)
    summary_converged,      // 1: max_residual <= tolerance and every point refined
    summary_unrefined,      // points whose residual is not finite
    summary_count
};

// The method input as the plug-ins take it; the front ends turn the
// caller's 'fixed' and 'newton' into these.
constexpr double invert_method_fixed = 0, invert_method_newton = 1;

// A checked call. Plain data: a front end may leave through its host's
// error exit while it holds one.
template <class T, int N>
struct InvertFieldPlan {
    InversionPlan<T, N> splat;
    FieldRefinement<T, N> refinement;  // start, forward and residual unset
    double threads;
    OutputShape output[N + 1];         // the field's components, then the summary
    bool zero_fill;
};
static_assert(std::is_trivially_destructible<InvertFieldPlan<float, 3>>::value &&
                  std::is_trivially_destructible<InvertFieldPlan<double, 2>>::value,
              "a plan must survive the host's error exit");

// An option that is one number: its value, or the option's failure (an
// empty one fails as empty, more than one value with the option's
// condition: Octave's [1e-4 1e-3] and Python's (1e-4, 1e-3) alike).
template <class T>
T one_value(const PlainArray& array, InputName input, const char* condition, const char* wanted)
{
    const T value = first_element<T>(array, input, wanted);
    if (array.count > 1)
        fail(condition, label(input) + " holds " + std::to_string(array.count) +
                            " values; pass one, " + wanted);
    return value;
}

// Checks a call of invert_field on an N-D field (its 2N + 5 inputs of
// element type T, in call order) and plans it: b's components, the kernel,
// then steps, tolerance, method and threads, each refused before any work.
template <class T, int N>
InvertFieldPlan<T, N> check_invert_field(const PlainArray* in, GatewayWarnings& warnings)
{
    const InputName* names = invert_signature<N>.names;
    const char* unit = N == 3 ? "voxel" : "pixel";
    InvertFieldPlan<T, N> plan = {};

    // Every component on bx's grid: the refinement reads them all there.
    const std::array<int32_t, N> grid = leading_extents<N>(in[0], names[0]);
    for (int a = 1; a < N; ++a) {
        if (leading_extents<N>(in[a], names[a]) == grid) continue;
        std::string wanted;
        for (int d = 0; d < N; ++d) wanted += (d > 0 ? "x" : "") + std::to_string(grid[d]);
        fail("sizeMismatch", label(names[a]) + " is " + size_text(in[a]) + "; pass a " + wanted +
                                 " array, the grid of " + label(names[0]));
    }
    plan.splat = check_inversion<T, N>(in, warnings, names);

    FieldRefinement<T, N>& job = plan.refinement;
    job.grid = grid;
    job.backward = plan.splat.job.backward;
    const InputName steps = names[N + 1], tolerance = names[N + 2], method = names[N + 3],
                    threads = names[N + 4];
    job.steps = refinement_steps(
        one_value<T>(in[N + 1], steps, "badSteps", "a whole number from 0 to 1000"), steps);
    job.tolerance = refinement_tolerance(
        one_value<T>(in[N + 2], tolerance, "badTolerance",
                     "a finite tolerance of at least 0, e.g. 1e-4"),
        tolerance, unit);
    const double m = static_cast<double>(
        one_value<T>(in[N + 3], method, "badMethod", "'newton' or 'fixed'"));
    if (m != invert_method_fixed && m != invert_method_newton)
        fail("badMethod", label(method) + " is " + value_text(static_cast<T>(m)) +
                              "; pass 'newton' or 'fixed' (to the plug-in: 1 or 0)");
    job.method = m == invert_method_newton ? RefinementMethod::newton : RefinementMethod::fixed_point;
    plan.threads = static_cast<double>(
        one_value<T>(in[N + 4], threads, "badThreads", "a whole number of at least 1"));
    if (!(plan.threads >= 1 && plan.threads == std::floor(plan.threads)))
        fail("badThreads", label(threads) + " is " + value_text(static_cast<T>(plan.threads)) +
                               "; pass a whole number of at least 1");

    // The field, the refinement's second buffer and the residual.
    require_available_memory((2.0 * N + 1) * extent_product<N>(grid) * sizeof(T),
                             "the field with its scratch and residual",
                             "free memory or invert a smaller field");

    for (int a = 0; a < N; ++a) plan.output[a] = plan.splat.output[a];
    plan.output[N] = OutputShape{2, {1, summary_count, 0}};
    plan.zero_fill = plan.splat.zero_fill;
    return plan;
}

// unrefined: points the refinement could not take part (their residual is
// not finite), named with why. They keep the splat's value.
template <class T, int N>
void warn_unrefined(int64_t unrefined, int64_t start_not_finite, int64_t points,
                    GatewayWarnings& warnings)
{
    const int64_t b_not_finite = unrefined - start_not_finite;
    std::string why;
    if (b_not_finite > 0)
        why = std::to_string(b_not_finite) + " read a NaN or infinite value of b at q + F(q)";
    if (start_not_finite > 0)
        why += (why.empty() ? "" : " and ") + std::to_string(start_not_finite) +
               " have a NaN or infinite start field (the splat's F: a NaN or infinite kernel "
               "element or displacement there)";
    warn(warnings, "unrefined",
         std::to_string(unrefined) + " of " + std::to_string(points) + " grid " +
             (N == 3 ? "voxels" : "pixels") + " were not refined (their residual is not finite): " +
             why + "; they keep the splat's value and converged is false; replace the non-finite "
                   "values of b (e.g. by 0) to refine them");
}

// Fills the outputs of a planned call: the N components of F (the splat,
// refined in place) and the summary (summary_count doubles), on up to
// plan.threads threads. Records notConverged and unrefined in `warnings`.
// Throws a Failure: outOfMemory, threadStart.
template <class T, int N, KernelOrder Order>
void run_invert_field(const InvertFieldPlan<T, N>& plan, T* const* field, double* summary,
                      GatewayWarnings& warnings)
{
    run_inversion<T, N, Order>(plan.splat, field, plan.threads);

    FieldRefinement<T, N> job = plan.refinement;
    for (int a = 0; a < N; ++a) job.start[a] = job.forward[a] = field[a];
    const int64_t points = extent_product<N>(job.grid);
    RefinementOutcome outcome;
    outcome.converged = true;  // an empty grid: nothing to refine
    int64_t finite = 0, start_not_finite = 0;
    double sum = 0;
    if (points > 0) {
        try {
            Scratch<T> residual = take_scratch<T>(points);
            job.residual = residual.get();
            outcome = refine_field<T, N>(job, worker_count(plan.threads, job.grid[N - 1]),
                                         vector_path());
            // The mean in one order, the grid's, so every front end and
            // thread count gives its bits.
            for (int64_t i = 0; i < points; ++i) {
                const T r = job.residual[i];
                if (std::isfinite(r)) {
                    sum += static_cast<double>(r);
                    ++finite;
                    continue;
                }
                // An unrefined point kept its start: was that not finite?
                bool start_finite = true;
                for (int a = 0; a < N; ++a) start_finite = start_finite && std::isfinite(field[a][i]);
                if (!start_finite) ++start_not_finite;
            }
        } catch (...) {
            rethrow_as_failure();
        }
    }
    const int64_t unrefined = points - finite;
    summary[summary_steps] = outcome.steps_done;
    summary[summary_max_residual] = outcome.max_residual;
    summary[summary_mean_residual] =
        finite > 0 ? sum / static_cast<double>(finite) : std::numeric_limits<double>::quiet_NaN();
    summary[summary_converged] = outcome.converged && unrefined == 0 ? 1 : 0;
    summary[summary_unrefined] = static_cast<double>(unrefined);
    if (points == 0) return;
    warn_refinement<T, N>(outcome, job, warnings, invert_signature<N>.names[N + 2]);
    if (unrefined > 0) warn_unrefined<T, N>(unrefined, start_not_finite, points, warnings);
}

// invert_field for the front ends: N-D field in element type T, the
// splat's kernel loops in the given order (those of the matching
// dispinvert plug-in, so the bits are the same).
template <class T, int N, KernelOrder Order>
struct InvertFieldCall {
    using Element = T;
    using Plan = InvertFieldPlan<T, N>;
    static constexpr int input_count = N + 5;
    static constexpr int output_count = N + 1;
    static constexpr const CallSignature& signature = invert_signature<N>;
    static constexpr const char* identifier = "invert_field";
    static Plan check(const PlainArray* inputs, GatewayWarnings& warnings)
    {
        return check_invert_field<T, N>(inputs, warnings);
    }
    static void run(const Plan& plan, T* const* field, double* summary, GatewayWarnings& warnings)
    {
        run_invert_field<T, N, Order>(plan, field, summary, warnings);
    }
};

}  // namespace regkern
