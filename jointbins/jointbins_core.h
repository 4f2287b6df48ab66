// The host-free joint histogram: check_jointbins (jointbins_check.h) plans
// a call, and run_jointbins accumulates it (jointbins.h). JointbinsCall
// binds both for the front ends (host_args.h for the MEX hosts).
#pragma once

#include "jointbins.h"
#include "jointbins_check.h"

namespace regkern {

// Fills the zero-filled outputs of a planned call: the B x B joint
// histogram and the two B-element single-image histograms. One pass on the
// calling thread, whatever host_threads says: every cell takes its
// additions in sample order, and the samples cannot be split among workers
// without splitting those sums. The pass also counts the samples outside
// the bounds, for the warning that most of an image lies there; the
// histograms show whether an image fills only a sliver of the bounds.
template <class T>
void run_jointbins(const JointbinsPlan<T>& plan, T* joint, T* first, T* second, double host_threads,
                   GatewayWarnings& warnings)
{
    (void)host_threads;
    JointbinsTally tally = {static_cast<double>(plan.in.bin_value) * (1.0 + 0x1p-20), {0, 0}, {0, 0}};
    jointbins_accumulate(plan.in, JointbinsOutputs<T>{joint, first, second, &tally});
    const T* const histograms[2] = {first, second};
    warn_jointbins_census(plan.in, tally, histograms, warnings);
}

// A joint-histogram plug-in for the front ends.
template <class T>
struct JointbinsCall {
    using Element = T;
    using Plan = JointbinsPlan<T>;
    static constexpr int input_count = JOINTBINS_INPUTS;
    static constexpr int output_count = JOINTBINS_OUTPUTS;
    static constexpr const CallSignature& signature = jointbins_signature;
    static Plan check(const PlainArray* inputs, GatewayWarnings& warnings)
    {
        return check_jointbins<T>(inputs, warnings);
    }
    static void run(const Plan& plan, T* const* outputs, double host_threads,
                    GatewayWarnings& warnings)
    {
        run_jointbins(plan, outputs[OUT_JOINT], outputs[OUT_FIRST], outputs[OUT_SECOND],
                      host_threads, warnings);
    }
};

}  // namespace regkern
