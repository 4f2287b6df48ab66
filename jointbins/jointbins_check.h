// The joint histogram's checks, shared by every front end: the inputs'
// sizes and values, the memory the outputs need, the warnings about calls
// that can only be a mistake, and the plan that the run (jointbins_core.h)
// carries out. Nothing here calls a host.
//
// Inputs: first image, second image (at least as many elements), lower bound
// L, upper bound U, bin-count value K. Outputs: the B x B joint histogram and
// the two B x 1 single-image histograms, B = trunc(K), each divided by the
// element count of the first image.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "indexing.h"
#include "jointbins_sample.h"
#include "memory.h"
#include "plain_array.h"
#include "value_census.h"

namespace regkern {

enum JointbinsInput { IN_FIRST = 0, IN_SECOND, IN_LOWER, IN_UPPER, IN_BIN_COUNT, JOINTBINS_INPUTS };
enum JointbinsOutput { OUT_JOINT = 0, OUT_FIRST, OUT_SECOND, JOINTBINS_OUTPUTS };

// The inputs as messages name them (the names of the plug-ins' help).
constexpr InputName jointbins_input_names[JOINTBINS_INPUTS] = {
    {"image1", 1, true}, {"image2", 2, true}, {"lower", 3}, {"upper", 4}, {"bins", 5}};

constexpr CallSignature jointbins_signature = {JOINTBINS_INPUTS, "five inputs are required.",
                                               JOINTBINS_OUTPUTS, "Three outputs are required",
                                               jointbins_input_names};

// A checked call: the accumulation's inputs, the outputs' shapes, and that
// the outputs start at zero (the samples add into them). Plain data: a
// front end may leave through its host's error exit while it holds one.
template <class T>
struct JointbinsPlan {
    JointbinsInputs<T> in;
    OutputShape output[JOINTBINS_OUTPUTS];
    bool zero_fill;
};
static_assert(std::is_trivially_destructible<JointbinsPlan<double>>::value &&
                  std::is_trivially_destructible<JointbinsPlan<float>>::value,
              "a plan must survive the host's error exit");

// The number of bins from K: K must leave at least one bin and few enough
// that B * B cells can be indexed. Checked in double before any conversion.
template <class T>
int32_t jointbins_bin_count(T bin_value)
{
    const double value = static_cast<double>(bin_value);
    const InputName bins = jointbins_input_names[IN_BIN_COUNT];
    if (!std::isfinite(value) || value < 1.0)
        fail("badBins", label(bins) + " is " + value_text(bin_value) +
                            "; pass a finite value of at least 1");
    if (value >= max_square_bins + 1.0)
        fail("badBins", label(bins) + " is " + value_text(bin_value) +
                            "; pass a value below 46341, so that bins x bins cells fit in "
                            "32-bit indices");
    return to_int(value);
}

// Calls that are carried out but can only be a mistake: no samples (every
// output is 0/0), image2 laid out otherwise than image1 (most often a
// transposed image), bounds that are not finite (every sample then adds
// nothing, or all land in one bin), equal (every sample lands in an edge bin
// or adds nothing) or reversed (the histograms come out mirrored).
template <class T>
void warn_jointbins_call(const PlainArray* inputs, const JointbinsInputs<T>& in,
                         GatewayWarnings& warnings)
{
    const InputName* const names = jointbins_input_names;
    if (in.count == 0) {
        warn(warnings, "noSamples",
             label(names[IN_FIRST]) + " is empty (" + size_text(inputs[IN_FIRST]) +
                 "): there are no samples, and every output is NaN (0/0); pass images that "
                 "hold samples");
        return;
    }
    const int64_t axes = std::max(inputs[IN_FIRST].ndims, inputs[IN_SECOND].ndims);
    if (!same_layout(inputs[IN_FIRST], inputs[IN_SECOND], static_cast<int>(axes)))
        warn_partner_shape(warnings, inputs[IN_FIRST], names[IN_FIRST], {names[IN_SECOND]},
                           {&inputs[IN_SECOND]});
    const std::string lower = label(names[IN_LOWER]);
    const std::string upper = label(names[IN_UPPER]);
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
    } else if (in.upper < in.lower) {
        warn(warnings, "reversedBounds",
             lower + " is " + value_text(in.lower) + " and " + upper + " is " +
                 value_text(in.upper) +
                 ": the bins run downwards and the histograms come out mirrored; pass lower < "
                 "upper (swap them)");
    }
}

// Images mostly outside sound bounds: `count` samples per image, `census`
// the finite ones and those outside, per image, and `extremes(k, least,
// greatest)` image k's finite extremes (asked only for an image mostly
// outside). A chunked call sums the census over its chunks.
template <class T, class Extremes>
void warn_jointbins_outside_census(T lower, T upper, int64_t count, const RangeCensus* census,
                                   Extremes extremes, GatewayWarnings& warnings)
{
    if (count == 0 || !std::isfinite(lower) || !std::isfinite(upper) || !(lower < upper)) return;
    std::vector<OutsideImage> outside;
    double least = lower, greatest = upper;
    for (int k = 0; k < 2; ++k) {
        OutsideImage image = {jointbins_input_names[k], census[k], 0, 0};
        if (!mostly_outside(image.census)) continue;
        extremes(k, image.least, image.greatest);
        least = std::fmin(least, image.least);
        greatest = std::fmax(greatest, image.greatest);
        outside.push_back(image);
    }
    if (outside.empty()) return;
    const bool single = sizeof(T) == sizeof(float);
    warn_outside(warnings, "outOfBounds", outside,
                 "[lower, upper] = [" + value_text(lower) + ", " + value_text(upper) + "]",
                 "lower = " + value_text(least, single) + ", upper = " + value_text(greatest, single),
                 single);
}

// After the accumulation, from the samples it counted while clamping them.
template <class T>
void warn_jointbins_outside(const JointbinsInputs<T>& in, const JointbinsTally& tally,
                            GatewayWarnings& warnings)
{
    const RangeCensus census[2] = {{in.count - tally.not_finite[0], tally.outside[0]},
                                   {in.count - tally.not_finite[1], tally.outside[1]}};
    const T* const data[2] = {in.first, in.second};
    warn_jointbins_outside_census(
        in.lower, in.upper, in.count, census,
        [&](int k, double& least, double& greatest) {
            finite_extremes(data[k], in.count, least, greatest);
        },
        warnings);
}

// Checks a call of the joint histogram on its JOINTBINS_INPUTS inputs (of
// element type T, in call order) and plans it.
template <class T>
JointbinsPlan<T> check_jointbins(const PlainArray* in, GatewayWarnings& warnings)
{
    const InputName* const names = jointbins_input_names;
    JointbinsPlan<T> plan = {};
    JointbinsInputs<T>& job = plan.in;
    job.first = data_of<T>(in[IN_FIRST]);
    job.second = data_of<T>(in[IN_SECOND]);
    job.count = element_count(in[IN_FIRST], names[IN_FIRST]);
    check_min_elements(in[IN_SECOND], job.count, names[IN_SECOND],
                       "one per element of " + label(names[IN_FIRST]));
    job.lower = first_element<T>(in[IN_LOWER], names[IN_LOWER],
                                 "a scalar, the intensity of the first bin's centre");
    job.upper = first_element<T>(in[IN_UPPER], names[IN_UPPER],
                                 "a scalar, the intensity one bin past the last");
    job.bin_value = first_element<T>(in[IN_BIN_COUNT], names[IN_BIN_COUNT],
                                     "a scalar from 1 to below 46341, the number of bins");
    job.bins = jointbins_bin_count(job.bin_value);
    // Room for the outputs twice over: a host may copy them when the call
    // returns (Octave does).
    const double cells = static_cast<double>(job.bins) * job.bins;
    require_available_memory(2.0 * (cells + 2.0 * job.bins) * sizeof(T),
                             "the joint histogram of " + std::to_string(job.bins) + " x " +
                                 std::to_string(job.bins) + " bins",
                             "pass fewer bins");
    warn_jointbins_call(in, job, warnings);

    plan.output[OUT_JOINT] = OutputShape{2, {job.bins, job.bins, 0}};
    plan.output[OUT_FIRST] = OutputShape{1, {job.bins, 0, 0}};
    plan.output[OUT_SECOND] = OutputShape{1, {job.bins, 0, 0}};
    plan.zero_fill = true;
    return plan;
}

}  // namespace regkern
