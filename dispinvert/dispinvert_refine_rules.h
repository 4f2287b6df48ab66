// The rules of a refinement call that every front end shares: which step
// counts and tolerances are accepted, and what the outcome warns about.
// Host-free: values and the names messages give the inputs.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "dispinvert_refine.h"
#include "failure.h"
#include "host_args.h"  // value_text

namespace regkern {

// A call runs at most this many steps. The step converges in a handful of
// steps where it converges at all (each one shrinks the residual by the
// slope of b), so a larger count can only be a mistake, and one that would
// hold the host for minutes on a large field with no way to interrupt it.
constexpr int32_t max_refinement_steps = 1000;

// The step count from its input's value; `name` as messages give it,
// "steps (input 7)".
inline int32_t refinement_steps(double value, const std::string& name, bool as_single)
{
    if (!(value >= 0 && value <= max_refinement_steps && value == std::floor(value)))
        fail("badSteps", name + " is " + value_text(value, as_single) +
                             "; pass a whole number from 0 to 1000");
    return static_cast<int32_t>(value);
}

inline double refinement_tolerance(double value, const std::string& name, bool as_single)
{
    if (!(value >= 0 && std::isfinite(value)))
        fail("badTolerance", name + " is " + value_text(value, as_single) +
                                 "; pass a finite tolerance of at least 0 (in voxels), e.g. "
                                 "1e-4");
    return value;
}

// notConverged when steps were asked for and the residual is still above
// the tolerance; a residual that grew from one step to the next says why.
inline void warn_refinement(const RefinementOutcome& outcome, int32_t steps,
                            const std::string& tolerance_name, double tolerance, bool as_single,
                            const char* unit, GatewayWarnings& warnings)
{
    if (steps == 0 || outcome.converged) return;
    // Measured residuals to three digits; the tolerance as the caller wrote it.
    const auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", v);
        return std::string(text);
    };
    std::string message = "after " + std::to_string(outcome.steps_done) +
                          (outcome.steps_done == 1 ? " step" : " steps") +
                          " the largest residual |F(q) + b(q + F(q))| is " +
                          number(outcome.max_residual) + " " + unit + ", above " + tolerance_name +
                          " = " + value_text(tolerance, as_single);
    if (outcome.grew_at > 0)
        message += "; it grew from " + number(outcome.before_growth) + " to " +
                   number(outcome.after_growth) + " at step " +
                   std::to_string(outcome.grew_at) +
                   ": the step diverges where b folds (p + b(p) is not one-to-one) or changes "
                   "by a " + std::string(unit) + " or more per " + unit + "; smooth b or check it";
    else
        message += "; pass more steps or a larger tolerance";
    warn(warnings, "notConverged", message);
}

}  // namespace regkern
