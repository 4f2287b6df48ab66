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

// The number of bins from K: K must leave at least one bin and few enough
// that B * B cells can be indexed. Checked in double before any conversion.
inline int32_t jointbins_bin_count(double value)
{
    if (!std::isfinite(value) || value < 1.0)
        fail("badBins", "Input 5 (bin count) must be a finite value of at least 1.");
    if (value >= jointbins_max_bins + 1.0)
        fail("badBins",
             "Input 5 (bin count) must be below 46341, so that bins x bins cells fit in 32 bits.");
    return to_int(value);
}

template <class T>
void jointbins_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    check_counts(nrhs, JOINTBINS_INPUTS, "five inputs are required.", nlhs, JOINTBINS_OUTPUTS,
                 "Three outputs are required");

    const char* const first_name = "Input 1 (first image)";
    const char* const second_name = "Input 2 (second image)";
    const char* const lower_name = "Input 3 (lower bound)";
    const char* const upper_name = "Input 4 (upper bound)";
    const char* const bins_name = "Input 5 (bin count)";

    JointbinsInputs<T> in;
    in.first = real_input<T>(prhs[IN_FIRST], first_name);
    in.second = real_input<T>(prhs[IN_SECOND], second_name);
    const T* lower = real_input<T>(prhs[IN_LOWER], lower_name);
    const T* upper = real_input<T>(prhs[IN_UPPER], upper_name);
    const T* bin_value = real_input<T>(prhs[IN_BIN_COUNT], bins_name);

    in.count = element_count(prhs[IN_FIRST], first_name);
    check_min_elements(prhs[IN_SECOND], in.count, second_name, "input 1 (first image)");
    in.lower = first_element(prhs[IN_LOWER], lower, lower_name);
    in.upper = first_element(prhs[IN_UPPER], upper, upper_name);
    in.bin_value = first_element(prhs[IN_BIN_COUNT], bin_value, bins_name);
    in.bins = jointbins_bin_count(static_cast<double>(in.bin_value));
    // Room for the outputs twice over: a host may copy them when the call
    // returns (Octave does).
    const double cells = static_cast<double>(in.bins) * in.bins;
    require_available_memory(2.0 * (cells + 2.0 * in.bins) * sizeof(T),
                             "The joint histogram of " + std::to_string(in.bins) + " x " +
                                 std::to_string(in.bins) + " bins");

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
