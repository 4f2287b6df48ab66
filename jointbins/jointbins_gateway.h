// The jointbins gateway: checks the call, creates the three outputs and runs
// the one-pass accumulation on the calling thread.
//
// Inputs: first image, second image (at least as many elements), lower bound
// L, upper bound U, bin-count value K. Outputs: the B x B joint histogram and
// the two B x 1 single-image histograms, B = trunc(K), each divided by the
// element count of the first image.
#pragma once

#include <cmath>
#include <cstdint>

#include "host_args.h"
#include "indexing.h"
#include "jointbins.h"
#include "memory.h"

namespace regkern {

enum JointbinsInput { IN_FIRST = 0, IN_SECOND, IN_LOWER, IN_UPPER, IN_BIN_COUNT, JOINTBINS_INPUTS };
enum JointbinsOutput { OUT_JOINT = 0, OUT_FIRST, OUT_SECOND, JOINTBINS_OUTPUTS };

// B * B cells are indexed in 32-bit signed arithmetic: 46340^2 fits in an
// int32, 46341^2 does not.
constexpr int32_t jointbins_max_bins = 46340;

// The inputs as messages name them (the names of the plug-ins' help).
constexpr InputName jointbins_names[JOINTBINS_INPUTS] = {
    {"image1", 1}, {"image2", 2}, {"lower", 3}, {"upper", 4}, {"bins", 5}};

// The number of bins from K: K must leave at least one bin and few enough
// that B * B cells can be indexed. Checked in double before any conversion.
template <class T>
int32_t jointbins_bin_count(T bin_value)
{
    const double value = static_cast<double>(bin_value);
    const InputName bins = jointbins_names[IN_BIN_COUNT];
    if (!std::isfinite(value) || value < 1.0)
        fail("badBins", label(bins) + " is " + value_text(bin_value) +
                            "; pass a finite value of at least 1");
    if (value >= jointbins_max_bins + 1.0)
        fail("badBins", label(bins) + " is " + value_text(bin_value) +
                            "; pass a value below 46341, so that bins x bins cells fit in "
                            "32-bit indices");
    return to_int(value);
}

// Calls that are carried out but can only be a mistake: bounds that are not
// finite (every sample then adds nothing, or all land in one bin) or equal
// (every sample lands in an edge bin or adds nothing).
template <class T>
void warn_jointbins_call(const JointbinsInputs<T>& in, GatewayWarnings& warnings)
{
    if (in.count == 0) return;
    const std::string lower = label(jointbins_names[IN_LOWER]);
    const std::string upper = label(jointbins_names[IN_UPPER]);
    const bool lower_finite = std::isfinite(in.lower), upper_finite = std::isfinite(in.upper);
    if (!lower_finite || !upper_finite) {
        std::string received;
        if (!lower_finite) received = lower + " is " + value_text(in.lower);
        if (!upper_finite)
            received += (received.empty() ? "" : " and ") + upper + " is " + value_text(in.upper);
        warn(warnings, "nonFiniteBounds",
             received + ": every sample adds nothing or all land in one bin; pass finite "
                        "bounds, e.g. the least and greatest intensity");
    } else if (in.lower == in.upper) {
        warn(warnings, "equalBounds",
             lower + " and " + upper + " are both " + value_text(in.lower) +
                 ": every sample lands in an edge bin or adds nothing; pass upper > lower");
    }
}

template <class T>
void jointbins_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                       GatewayWarnings& warnings)
{
    check_counts(nrhs, JOINTBINS_INPUTS, "five inputs are required.", nlhs, JOINTBINS_OUTPUTS,
                 "Three outputs are required");

    const InputName* const names = jointbins_names;
    JointbinsInputs<T> in;
    in.first = real_input<T>(prhs[IN_FIRST], names[IN_FIRST]);
    in.second = real_input<T>(prhs[IN_SECOND], names[IN_SECOND]);
    const T* lower = real_input<T>(prhs[IN_LOWER], names[IN_LOWER]);
    const T* upper = real_input<T>(prhs[IN_UPPER], names[IN_UPPER]);
    const T* bin_value = real_input<T>(prhs[IN_BIN_COUNT], names[IN_BIN_COUNT]);

    in.count = element_count(prhs[IN_FIRST], names[IN_FIRST]);
    check_min_elements(prhs[IN_SECOND], in.count, names[IN_SECOND],
                       "one per element of " + label(names[IN_FIRST]));
    in.lower = first_element(prhs[IN_LOWER], lower, names[IN_LOWER],
                             "a scalar, the intensity of the first bin's centre");
    in.upper = first_element(prhs[IN_UPPER], upper, names[IN_UPPER],
                             "a scalar, the intensity one bin past the last");
    in.bin_value = first_element(prhs[IN_BIN_COUNT], bin_value, names[IN_BIN_COUNT],
                                 "a scalar from 1 to below 46341, the number of bins");
    in.bins = jointbins_bin_count(in.bin_value);
    // Room for the outputs twice over: a host may copy them when the call
    // returns (Octave does).
    const double cells = static_cast<double>(in.bins) * in.bins;
    require_available_memory(2.0 * (cells + 2.0 * in.bins) * sizeof(T),
                             "the joint histogram of " + std::to_string(in.bins) + " x " +
                                 std::to_string(in.bins) + " bins",
                             "pass fewer bins");
    warn_jointbins_call(in, warnings);

    // A failed creation leaves through the host's error exit: nothing with a
    // destructor may be alive from here on.
    const mwSize joint_dims[2] = {static_cast<mwSize>(in.bins), static_cast<mwSize>(in.bins)};
    const mwSize column_dims[1] = {static_cast<mwSize>(in.bins)};
    JointbinsOutputs<T> out;
    out.joint = create_output<T>(&plhs[OUT_JOINT], 2, joint_dims);
    out.first = create_output<T>(&plhs[OUT_FIRST], 1, column_dims);
    out.second = create_output<T>(&plhs[OUT_SECOND], 1, column_dims);

    jointbins_accumulate(in, out);
}

}  // namespace regkern
