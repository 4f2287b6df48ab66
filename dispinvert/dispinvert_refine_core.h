// The host-free refinement: check_refinement (dispinvert_refine_check.h)
// plans a call, and run_refinement repeats the job's step (the plug-ins:
// fixed point; dispinvert_refine.h) on worker threads;
// run_refinement_region_pass runs one pass over a box of a larger grid. RefinementCall binds both for
// the front ends (host_args.h for the MEX hosts).
#pragma once

#include <cstdint>

#include "dispinvert_refine.h"
#include "dispinvert_refine_check.h"
#include "vector_path.h"
#include "worker_threads.h"

namespace regkern {

// Fills the outputs of a planned call: the N components of the refined
// field, its residual and the steps done (either of the last two nullptr
// when the call left it off), on up to host_threads threads (the host's
// "maxNumCompThreads"; worker_count), at most one per slab of the last grid
// axis, with the widest vector arithmetic allowed. Records notConverged in
// `warnings`. Throws a Failure: outOfMemory, threadStart.
template <class T, int N>
void run_refinement(const RefinementPlan<T, N>& plan, T* const* outputs, double host_threads,
                    GatewayWarnings& warnings)
{
    FieldRefinement<T, N> job = plan.job;
    for (int a = 0; a < N; ++a) job.forward[a] = outputs[a];
    job.residual = outputs[N];
    const int32_t workers = worker_count(host_threads, job.grid[N - 1]);
    RefinementOutcome outcome;
    try {
        outcome = refine_field<T, N>(job, workers, vector_path());
    } catch (...) {
        rethrow_as_failure();
    }
    if (outputs[N + 1]) *outputs[N + 1] = static_cast<T>(outcome.steps_done);
    if (extent_product<N>(job.grid) > 0) warn_refinement<T, N>(outcome, job, warnings);
}

// One pass of job.method over a box of a larger grid, for a chunked front
// end (see refine_region_pass in dispinvert_refine.h for the geometry and
// the halo of ceil(max |F|) + 1 points b needs around the box): F_{k+1} into
// job.forward, r_k into job.residual (or nullptr), on up to host_threads
// threads. Returns the box's largest finite residual. Throws a Failure:
// badRegion, haloTooThin, threadStart.
template <class T, int N>
double run_refinement_region_pass(const FieldRefinement<T, N>& job, double host_threads)
{
    check_refinement_region<T, N>(job);
    try {
        return refine_region_pass<T, N>(job, worker_count(host_threads, job.grid[N - 1]),
                                        vector_path());
    } catch (...) {
        rethrow_as_failure();
    }
}

// A refinement plug-in for the front ends: N-D field in element type T.
template <class T, int N>
struct RefinementCall {
    using Element = T;
    using Plan = RefinementPlan<T, N>;
    static constexpr int input_count = 2 * N + 2;
    static constexpr int output_count = N + 2;
    static constexpr const CallSignature& signature = refine_signature<N>;
    static Plan check(const PlainArray* inputs, GatewayWarnings& warnings)
    {
        return check_refinement<T, N>(inputs, warnings);
    }
    static void run(const Plan& plan, T* const* outputs, double host_threads,
                    GatewayWarnings& warnings)
    {
        run_refinement<T, N>(plan, outputs, host_threads, warnings);
    }
};

}  // namespace regkern
