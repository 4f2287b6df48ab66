// The host-free field inversion: check_inversion (dispinvert_check.h) plans
// a call, and run_inversion splats and normalises it (dispinvert_splat.h) on
// worker threads with the widest vector path allowed. InversionCall binds
// both for the front ends (host_args.h for the MEX hosts).
#pragma once

#include <cstdint>

#include "dispinvert_check.h"
#include "dispinvert_splat.h"
#include "vector_path.h"
#include "worker_threads.h"

namespace regkern {

// Fills the N components of the forward field of a planned call (each as
// many elements as the grid, zero-filled when plan.zero_fill says so) on up
// to host_threads threads (the host's "maxNumCompThreads"; worker_count),
// at most one per slab of the last grid axis. Throws a Failure:
// outOfMemory, threadStart.
template <class T, int N, KernelOrder Order>
void run_inversion(const InversionPlan<T, N>& plan, T* const* forward, double host_threads)
{
    FieldInversion<T, N> job = plan.job;
    for (int a = 0; a < N; ++a) job.forward[a] = forward[a];
    const int32_t workers = worker_count(host_threads, job.box_hi[N - 1] - job.box_lo[N - 1]);
    // An empty box has nothing to splat or normalise; its scratch (a row of
    // up to 2^31 - 1 points) is not taken.
    std::array<int32_t, N> box;
    for (int a = 0; a < N; ++a) box[a] = job.box_hi[a] - job.box_lo[a];
    if (extent_product<N>(box) == 0) return;
    try {
        invert_field<T, N, Order>(job, workers, vector_path());
    } catch (...) {
        rethrow_as_failure();
    }
}

// A field-inversion plug-in for the front ends: N-D field in element type
// T, kernel loops in the given order.
template <class T, int N, KernelOrder Order>
struct InversionCall {
    using Element = T;
    using Plan = InversionPlan<T, N>;
    static constexpr int input_count = N + 1;
    static constexpr int output_count = N;
    static constexpr const CallSignature& signature = dispinvert_signature<N>;
    static Plan check(const PlainArray* inputs, GatewayWarnings& warnings)
    {
        return check_inversion<T, N>(inputs, warnings);
    }
    // The run adds no warnings: the check has said all there is.
    static void run(const Plan& plan, T* const* outputs, double host_threads, GatewayWarnings&)
    {
        run_inversion<T, N, Order>(plan, outputs, host_threads);
    }
};

}  // namespace regkern
