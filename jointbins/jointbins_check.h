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
#include <array>
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

// More cells than this many per sample, with more than many_bins bins,
// leave nearly every cell empty while the outputs and their clearing cost
// far more than the samples (30000 bins for 56797 samples: 7.2 GB for a
// histogram of one sample in 15846 cells). A sound call has a dozen
// samples or more per bin of each image; below many_bins bins the outputs
// are small (8 MB of double) whatever the samples.
constexpr int32_t many_bins = 1024;
constexpr double cells_per_sample = 100;

// Calls that are carried out but can only be a mistake: no samples (every
// output is 0/0), bins x bins cells far beyond the samples, image2 laid out otherwise than image1 (most often a
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
    const double cells = static_cast<double>(in.bins) * in.bins;
    if (in.bins > many_bins && cells > cells_per_sample * in.count) {
        char text[96];
        const double bytes = (cells + 2.0 * in.bins) * sizeof(T);
        std::snprintf(text, sizeof text, "%.0f to 1, so nearly every cell stays empty while the outputs take %.2g %s",
                      cells / in.count, bytes >= 1e9 ? bytes / 1e9 : bytes / 1e6, bytes >= 1e9 ? "GB" : "MB");
        warn(warnings, "manyBins",
             label(names[IN_BIN_COUNT]) + " is " + value_text(in.bin_value) + ": its " +
                 std::to_string(in.bins) + " x " + std::to_string(in.bins) +
                 " cells outnumber the " + std::to_string(in.count) + " samples " + text +
                 "; pass fewer bins, at most " +
                 std::to_string(static_cast<long long>(std::sqrt(static_cast<double>(in.count)))) +
                 " (no more cells than samples)");
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

// Whether the weight of a histogram of `bins` cells lies within few enough
// adjacent cells that its image may fill a sliver of the bounds: an image
// whose clamped values span less than sliver_share of them reaches at most
// bins * sliver_share + 2 cells. Reading the histogram costs nothing beside
// the accumulation; the image itself is read again only when this holds.
template <class T>
bool few_cells_filled(const T* histogram, int32_t bins)
{
    int32_t first = 0, last = bins - 1;
    while (first < bins && !(histogram[first] != 0)) ++first;
    if (first == bins) return false;  // every sample NaN
    while (!(histogram[last] != 0)) --last;
    return last - first + 1 <= bins * sliver_share + 2;
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
    const bool single = sizeof(T) == sizeof(float);
    warn_outside(warnings, "outOfBounds", outside,
                 "[lower, upper] = [" + value_text(lower) + ", " + value_text(upper) + "]",
                 "lower = " + value_text(least, single) + ", upper = " + value_text(greatest, single),
                 single);
}

// narrowData: the images that fill a sliver of [lower, upper], among those
// `eligible` (not mostly outside, their histogram filling few cells).
// spread(k) gives image k's least and greatest value that is not NaN (an
// infinity clamps to an edge bin, so it counts), extremes(k, least,
// greatest) its finite extremes: an in-memory call reads them off the
// images, asked only for an image that may warn; a chunked call off its
// chunks (fmin, fmax).
template <class T, class Spread, class Extremes>
void warn_jointbins_sliver(T lower, T upper, const bool (&eligible)[2], Spread spread,
                           Extremes extremes, GatewayWarnings& warnings)
{
    std::vector<SliverImage> sliver;
    const double lo = static_cast<double>(lower), hi = static_cast<double>(upper);
    for (int k = 0; k < 2; ++k) {
        if (!eligible[k]) continue;
        const std::array<double, 2> ends = spread(k);
        if (!fills_sliver(ends[0], ends[1], lo, hi)) continue;
        SliverImage thin = {jointbins_input_names[k], clamped_span(ends[0], ends[1], lo, hi) / (hi - lo),
                            0, 0};
        extremes(k, thin.least, thin.greatest);
        sliver.push_back(thin);
    }
    if (sliver.empty()) return;
    const bool single = sizeof(T) == sizeof(float);
    double fit_least = INFINITY, fit_greatest = -INFINITY;
    for (int k = 0; k < 2; ++k) {
        double a, b;
        extremes(k, a, b);
        fit_least = std::fmin(fit_least, a);
        fit_greatest = std::fmax(fit_greatest, b);
    }
    const bool spans = fit_least <= lo && fit_greatest >= hi;
    warn_sliver(warnings, "narrowData", sliver,
                "[lower, upper] = [" + value_text(lower) + ", " + value_text(upper) + "]",
                spans ? std::string()
                      : "bounds that fit the images, lower = " + value_text(fit_least, single) +
                            ", upper = " + value_text(fit_greatest, single),
                single);
}

// After the accumulation: images mostly outside sound bounds, from the
// samples the accumulation counted while clamping them (outOfBounds), and
// images that fill a sliver of them (narrowData), from the histograms.
template <class T>
void warn_jointbins_census(const JointbinsInputs<T>& in, const JointbinsTally& tally,
                           const T* const (&histograms)[2], GatewayWarnings& warnings)
{
    if (in.count == 0 || !std::isfinite(in.lower) || !std::isfinite(in.upper) ||
        !(in.lower < in.upper))
        return;
    const RangeCensus census[2] = {{in.count - tally.not_finite[0], tally.outside[0]},
                                   {in.count - tally.not_finite[1], tally.outside[1]}};
    const T* const data[2] = {in.first, in.second};
    warn_jointbins_outside_census(
        in.lower, in.upper, in.count, census,
        [&](int k, double& least, double& greatest) {
            finite_extremes(data[k], in.count, least, greatest);
        },
        warnings);

    const bool eligible[2] = {!mostly_outside(census[0]) && few_cells_filled(histograms[0], in.bins),
                              !mostly_outside(census[1]) && few_cells_filled(histograms[1], in.bins)};
    warn_jointbins_sliver(
        in.lower, in.upper, eligible,
        [&](int k) {
            const ValueSpread<T> spread = value_spread(data[k], in.count, in.lower, in.upper);
            return std::array<double, 2>{static_cast<double>(spread.least),
                                         static_cast<double>(spread.greatest)};
        },
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
