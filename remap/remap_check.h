// The remapping's checks, shared by every front end: the inputs' shapes and
// values, the warnings about calls that can only be a mistake, and the plan
// that the run (remap_core.h) carries out. Nothing here calls a host.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "indexing.h"
#include "memory.h"
#include "plain_array.h"
#include "remap_block.h"
#include "remap_geometry.h"
#include "value_census.h"
#include "worker_threads.h"

namespace regkern {

enum RemapInput {
    IN_IMAGE_A = 0,
    IN_IMAGE_B,
    IN_IMAGE_C,
    IN_IMAGE_D,
    IN_RANGE,
    IN_BINS,
    IN_WEIGHTS,
    IN_SPACING,
    REMAP_INPUTS
};
enum RemapOutput { OUT_MAPPED_A = 0, OUT_MAPPED_B, REMAP_OUTPUTS };

// The inputs as messages name them (the names of the plug-ins' help).
constexpr InputName remap_input_names[REMAP_INPUTS] = {
    {"A", 1, true}, {"B", 2, true}, {"C", 3, true}, {"D", 4, true}, {"range", 5}, {"bins", 6}, {"weights", 7}, {"spacing", 8}};

constexpr CallSignature remap_signature = {REMAP_INPUTS, "8 inputs are required.", REMAP_OUTPUTS,
                                           "2 outputs are required", remap_input_names};

// A checked call: what the run needs, the outputs' shape, and whether the
// outputs must start at zero (the blocks do not map every voxel). Plain
// data: a front end may leave through its host's error exit while it holds
// one.
template <class T>
struct RemapPlan {
    RemapShared<T> shared;  // inputs, extents and settings; the run adds the rest
    T range_max;            // for the census of the images against the range
    int dims;               // 2 (plane) or 3 (volume)
    int32_t grid_size[3];   // blocks per axis
    int64_t blocks;
    OutputShape output[REMAP_OUTPUTS];
    bool zero_fill;
};
static_assert(std::is_trivially_destructible<RemapPlan<double>>::value &&
                  std::is_trivially_destructible<RemapPlan<float>>::value,
              "a plan must survive the host's error exit");

// Checked scalar settings of a call, in the element type.
template <class T>
struct RemapSettings {
    T min, max, bins, spacing, bin_scale;
};

template <class T>
RemapSettings<T> read_remap_settings(const PlainArray* in)
{
    RemapSettings<T> settings;
    const InputName range_name = remap_input_names[IN_RANGE];
    const T* range = data_of<T>(in[IN_RANGE]);
    const uint64_t range_count = in[IN_RANGE].count;
    // [min max] and nothing else: a third element can only be a mistake
    // (a bin count or spacing slipped into the range).
    if (range_count != 2)
        fail("badRange", label(range_name) + " has " + std::to_string(range_count) +
                             (range_count == 1 ? " element" : " elements") +
                             "; pass two, [min max], e.g. [0 1]");
    settings.min = range[0];
    settings.max = range[1];
    const std::string range_text = "[" + value_text(settings.min) + " " + value_text(settings.max) + "]";
    if (!std::isfinite(settings.min) || !std::isfinite(settings.max) ||
        !(settings.max > settings.min))
        fail("badRange", label(range_name) + " is " + range_text +
                             "; pass finite bounds [min max] with max > min");

    const InputName bins_name = remap_input_names[IN_BINS];
    const char* const bins_wanted = "a whole number from 2 to 46340";
    settings.bins = first_element<T>(in[IN_BINS], bins_name, bins_wanted);
    if (!(settings.bins >= 2) || !(settings.bins <= max_square_bins) ||
        std::floor(settings.bins) != settings.bins)
        fail("badBins", label(bins_name) + " is " + value_text(settings.bins) + "; pass " +
                            bins_wanted);

    // A range so narrow (or so wide) that the scale from intensities to bins
    // is not a finite positive number would place every sample at NaN or 0.
    settings.bin_scale = static_cast<T>((static_cast<double>(settings.bins) - 1.0) /
                                        (static_cast<double>(settings.max) - settings.min));
    // A subnormal scale keeps too few bits to map the bins back: the last
    // bin's intensity would land far beyond max, even on infinity.
    const double top = (static_cast<double>(settings.bins) - 1.0) / settings.bin_scale +
                       static_cast<double>(settings.min);
    if (!std::isnormal(settings.bin_scale) || !(settings.bin_scale > 0) ||
        !std::isfinite(static_cast<T>(top))) {
        const bool narrow = !std::isfinite(settings.bin_scale);
        fail("badRange", label(range_name) + " is " + range_text + ", too " +
                             (narrow ? "narrow" : "wide") + " for " + value_text(settings.bins) +
                             " bins; pass a " + (narrow ? "wider" : "narrower") + " range");
    }

    const InputName spacing_name = remap_input_names[IN_SPACING];
    const char* const spacing_wanted = "a finite block edge greater than 0";
    settings.spacing = first_element<T>(in[IN_SPACING], spacing_name, spacing_wanted);
    if (!std::isfinite(settings.spacing) || !(settings.spacing > 0))
        fail("badSpacing", label(spacing_name) + " is " + value_text(settings.spacing) +
                               "; pass " + spacing_wanted);
    return settings;
}

template <class T>
[[noreturn]] void fail_tiny_spacing(T spacing)
{
    fail("badSpacing", label(remap_input_names[IN_SPACING]) + " is " + value_text(spacing) +
                           ", which makes more than 2^31 - 1 blocks; pass a larger spacing");
}

// Blocks along an axis of `extent` voxels: ceil(extent / spacing), the
// quotient formed in double from the element-type operands.
template <class T>
int32_t block_count(int32_t extent, T spacing)
{
    const double blocks =
        std::ceil(static_cast<double>(static_cast<T>(extent)) / static_cast<double>(spacing));
    if (!(blocks <= INT32_MAX)) fail_tiny_spacing(spacing);
    return static_cast<int32_t>(blocks);
}

// Whether the writing spans of the blocks along an axis follow one another
// from voxel 0 to the last voxel, so that every voxel along it is mapped.
inline bool spans_cover_axis(const std::vector<AxisSpan>& spans, int32_t extent)
{
    int32_t next = 0;
    for (const AxisSpan& span : spans) {
        if (span.lo != next) return false;
        next = span.write_hi + 1;
    }
    return next == extent;
}

// Whether the blocks map every voxel of the image (always so for a
// whole-number spacing). Then the outputs need no zero fill: the workers
// write every element, in parallel, and the host's serial fill of both
// outputs before any worker starts is saved.
template <class T>
bool blocks_cover_image(const RemapShared<T>& s, const int32_t (&grid_size)[3], int dims)
{
    for (int axis = 0; axis < dims; ++axis)
        if (!spans_cover_axis(writing_spans(grid_size[axis], s.spacing, s.half_span,
                                            s.image_size[axis], s.window_size[axis],
                                            s.half_window[axis]),
                              s.image_size[axis]))
            return false;
    return true;
}

// What the census learns of one distinct image against the range: its
// voxels, those inside, its least and greatest value that is not NaN (the
// spread: infinities count, as the bins clamp them), and, where the
// warnings ask for it (remap_census_needs_finite), its finite voxels and
// their least and greatest value. An in-memory call fills it from the
// images; a chunked call from its chunks (counts summed, extremes by fmin
// and fmax), so both tell the same warnings.
struct RemapImageCensus {
    InputName name;
    int64_t voxels, inside;
    double spread_least, spread_greatest;
    bool finite_known;
    int64_t finite;
    double least, greatest;
};

// Whether the warnings need the images' finite census: an image with at
// most half its voxels inside may lie mostly outside, and an image whose
// spread fills a sliver needs every image's finite extremes (the one range
// that fits them all).
inline std::vector<bool> remap_census_needs_finite(const std::vector<RemapImageCensus>& images,
                                                   double lo, double hi)
{
    bool sliver = false;
    for (const RemapImageCensus& image : images)
        sliver = sliver || fills_sliver(image.spread_least, image.spread_greatest, lo, hi);
    std::vector<bool> needs;
    for (const RemapImageCensus& image : images)
        needs.push_back(!image.finite_known && (sliver || 2 * image.inside < image.voxels));
    return needs;
}

// The images (in input order) mostly outside [min, max] (outOfRange), and
// those that fill a sliver of it (narrowData), from their census; every
// image remap_census_needs_finite names must have its finite census.
template <class T>
void warn_remap_images(T min, T max, const std::vector<RemapImageCensus>& images,
                       GatewayWarnings& warnings)
{
    const bool single = sizeof(T) == sizeof(float);
    const double lo = static_cast<double>(min), hi = static_cast<double>(max);
    std::vector<OutsideImage> outside;
    std::vector<SliverImage> sliver;
    for (const RemapImageCensus& image : images) {
        if (image.voxels == 0) continue;
        if (2 * image.inside < image.voxels) {
            const RangeCensus census = {image.finite, image.finite - image.inside};
            if (mostly_outside(census)) {
                outside.push_back({image.name, census, image.least, image.greatest});
                continue;
            }
        }
        if (fills_sliver(image.spread_least, image.spread_greatest, lo, hi))
            sliver.push_back({image.name,
                              clamped_span(image.spread_least, image.spread_greatest, lo, hi) / (hi - lo),
                              image.least, image.greatest});
    }
    if (!outside.empty()) {
        double least = min, greatest = max;
        for (const OutsideImage& image : outside) {
            least = std::fmin(least, image.least);
            greatest = std::fmax(greatest, image.greatest);
        }
        warn_outside(warnings, "outOfRange", outside,
                     label(remap_input_names[IN_RANGE]) + ", [" + value_text(min) + " " +
                         value_text(max) + "]",
                     "[" + value_text(least, single) + " " + value_text(greatest, single) + "]",
                     single);
    }
    if (sliver.empty()) return;
    // The one range serves all four images: the fix spans every one of them.
    double fit_least = INFINITY, fit_greatest = -INFINITY;
    for (const RemapImageCensus& image : images) {
        fit_least = std::fmin(fit_least, image.least);
        fit_greatest = std::fmax(fit_greatest, image.greatest);
    }
    const bool spans = fit_least <= lo && fit_greatest >= hi;
    warn_sliver(warnings, "narrowData", sliver,
                label(remap_input_names[IN_RANGE]) + ", [" + value_text(min) + " " +
                    value_text(max) + "]",
                spans ? std::string()
                      : "a range that fits the images, [" + value_text(fit_least, single) + " " +
                            value_text(fit_greatest, single) + "]",
                single);
}

// Images that lie mostly outside the range (integer intensities against
// [0 1], say: outOfRange), or that fill a sliver of it (images scaled to
// [0 1] against [0 255]: narrowData): either way every voxel maps to one
// or two levels. One pass over each distinct image, shared among the
// call's workers, before the remapping starts; a second, on the calling
// thread, only for an image the warnings need (remap_census_needs_finite).
template <class T>
struct CensusTask {
    const T* images[4];
    int count;          // distinct images
    int64_t begin, end;  // this worker's voxels
    T lo, hi;
    ValueSpread<T>* spread;  // per distinct image
};

template <class T>
void warn_remap_census(const RemapPlan<T>& plan, double host_threads, GatewayWarnings& warnings)
{
    const RemapShared<T>& s = plan.shared;
    const int64_t voxels =
        static_cast<int64_t>(s.image_size[0]) * s.image_size[1] * s.image_size[2];
    if (voxels == 0) return;
    const T* const all[4] = {s.image_a, s.image_b, s.image_c, s.image_d};
    CensusTask<T> shape = {};
    int input[4] = {};
    for (int k = 0; k < 4; ++k) {
        bool repeated = false;  // (A, D, A, D) is a common call
        for (int j = 0; j < k; ++j) repeated = repeated || all[j] == all[k];
        if (repeated) continue;
        input[shape.count] = IN_IMAGE_A + k;
        shape.images[shape.count++] = all[k];
    }
    shape.lo = s.min;
    shape.hi = plan.range_max;
    // A worker per million voxels at most: smaller images are not worth a thread.
    const int32_t workers = worker_count(host_threads, voxels / (1 << 20) + 1);
    std::vector<ValueSpread<T>> spread(static_cast<size_t>(workers) * 4);
    std::vector<CensusTask<T>> tasks(workers, shape);
    for (int32_t t = 0; t < workers; ++t) {
        tasks[t].begin = voxels * t / workers;
        tasks[t].end = voxels * (t + 1) / workers;
        tasks[t].spread = &spread[static_cast<size_t>(t) * 4];
    }
    run_workers(tasks, [](const CensusTask<T>* task) {
        for (int i = 0; i < task->count; ++i)
            task->spread[i] = value_spread(task->images[i] + task->begin, task->end - task->begin,
                                           task->lo, task->hi);
    });

    std::vector<RemapImageCensus> images;
    for (int i = 0; i < shape.count; ++i) {
        ValueSpread<T> whole = spread[i];
        for (int32_t t = 1; t < workers; ++t) merge_spread(whole, spread[static_cast<size_t>(t) * 4 + i]);
        images.push_back({remap_input_names[input[i]], voxels, whole.inside,
                          static_cast<double>(whole.least), static_cast<double>(whole.greatest),
                          false, 0, 0, 0});
    }
    const std::vector<bool> needs = remap_census_needs_finite(
        images, static_cast<double>(s.min), static_cast<double>(plan.range_max));
    for (int i = 0; i < shape.count; ++i) {
        if (!needs[i]) continue;
        finite_census(shape.images[i], voxels, images[i].finite, images[i].least, images[i].greatest);
        images[i].finite_known = true;
    }
    warn_remap_images(s.min, plan.range_max, images, warnings);
}

// Calls that are carried out but can only be a mistake: inputs with slices
// beyond the D extents read, partners laid out otherwise than A (most often
// a transposed image), and window weights that gather nothing (every voxel
// then maps to min). Images mostly outside the range, or filling a sliver
// of it: warn_remap_census, in the run.
template <class T, int D>
void warn_remap_call(const PlainArray* in, const RemapShared<T>& s, int64_t voxels,
                     GatewayWarnings& warnings)
{
    const int64_t window_count = static_cast<int64_t>(s.window_size[0]) * s.window_size[1] *
                                 s.window_size[2];
    std::vector<InputName> sliced;
    for (int k : {IN_IMAGE_A, IN_IMAGE_B, IN_IMAGE_C, IN_IMAGE_D, IN_WEIGHTS})
        if (has_unread_slices(in[k], D, k == IN_WEIGHTS ? window_count : voxels))
            sliced.push_back(remap_input_names[k]);
    warn_extra_slices(warnings, sliced, D);

    if (voxels == 0) return;
    std::vector<InputName> misshapen;
    std::vector<const PlainArray*> arrays;
    for (int k : {IN_IMAGE_B, IN_IMAGE_C, IN_IMAGE_D}) {
        if (same_layout(in[IN_IMAGE_A], in[k], D)) continue;
        misshapen.push_back(remap_input_names[k]);
        arrays.push_back(&in[k]);
    }
    warn_partner_shape(warnings, in[IN_IMAGE_A], remap_input_names[IN_IMAGE_A], misshapen, arrays);
    if (all_zero(s.weights, window_count))
        warn(warnings, "zeroWeights",
             label(remap_input_names[IN_WEIGHTS]) + " is " +
                 (window_count == 0 ? "empty (" + size_text(in[IN_WEIGHTS]) + ")" : "all zero") +
                 ": nothing is gathered and every " + (D == 2 ? "pixel" : "voxel") +
                 " maps to min; pass weights with a nonzero element, e.g. ones(" +
                 (D == 2 ? "9, 9" : "9, 9, 9") + ")");
}

// Checks a call of the D-dimensional remapping on its REMAP_INPUTS inputs
// (of element type T, in call order) and plans it.
// Bytes of the two histograms one remapping worker gathers into.
template <class T>
double remap_worker_histogram_bytes(int32_t bins)
{
    return 2.0 * static_cast<double>(bins) * static_cast<double>(bins) * sizeof(T);
}

template <class T, int D>
RemapPlan<T> check_remap(const PlainArray* in, GatewayWarnings& warnings)
{
    RemapPlan<T> plan = {};
    RemapShared<T>& s = plan.shared;
    s.image_a = data_of<T>(in[IN_IMAGE_A]);
    s.image_b = data_of<T>(in[IN_IMAGE_B]);
    s.image_c = data_of<T>(in[IN_IMAGE_C]);
    s.image_d = data_of<T>(in[IN_IMAGE_D]);
    s.weights = data_of<T>(in[IN_WEIGHTS]);

    const std::array<int32_t, D> image =
        leading_extents<D>(in[IN_IMAGE_A], remap_input_names[IN_IMAGE_A]);
    const std::array<int32_t, D> window =
        leading_extents<D>(in[IN_WEIGHTS], remap_input_names[IN_WEIGHTS]);
    int64_t voxels = 1;
    for (int axis = 0; axis < 3; ++axis) {
        s.image_size[axis] = axis < D ? image[axis] : 1;
        s.window_size[axis] = axis < D ? window[axis] : 1;
        s.half_window[axis] = (s.window_size[axis] - 1) / 2;
        s.held_size[axis] = s.box_size[axis] = s.image_size[axis];
        voxels *= s.image_size[axis];
    }
    const std::string per = std::string("one per ") + (D == 2 ? "pixel" : "voxel") + " of " +
                            label(remap_input_names[IN_IMAGE_A]);
    for (int k : {IN_IMAGE_B, IN_IMAGE_C, IN_IMAGE_D})
        check_min_elements(in[k], voxels, remap_input_names[k], per);

    const RemapSettings<T> settings = read_remap_settings<T>(in);
    s.min = settings.min;
    plan.range_max = settings.max;
    s.bins = settings.bins;
    s.nb = static_cast<int32_t>(settings.bins);
    s.spacing = settings.spacing;
    s.bin_scale = settings.bin_scale;
    s.half_span = static_cast<T>((static_cast<double>(settings.spacing) - 1.0) / 2.0);

    plan.dims = D;
    plan.blocks = 1;
    for (int axis = 0; axis < 3; ++axis) {
        plan.grid_size[axis] = axis < D ? block_count(s.image_size[axis], s.spacing) : 1;
        plan.blocks *= plan.grid_size[axis];
        if (plan.blocks > INT32_MAX) fail_tiny_spacing(s.spacing);
    }
    // Each worker gathers into two bins x bins histograms of its own: at the
    // largest bin counts one worker's alone can exceed the machine's memory,
    // and pages promised but not there would end the host session when the
    // histograms are cleared. The run takes no more workers than fit.
    if (plan.blocks > 0)
        require_available_memory(remap_worker_histogram_bytes<T>(s.nb) +
                                     2.0 * static_cast<double>(voxels) * sizeof(T),
                                 "the outputs and one worker's two " + std::to_string(s.nb) + " x " +
                                     std::to_string(s.nb) + " histograms",
                                 "pass fewer bins");
    warn_remap_call<T, D>(in, s, voxels, warnings);

    // The outputs take image A's own extents (a volume's first three, a
    // plane's first two). An empty image has nothing to map (and an extent
    // of up to 2^31 - 1 on its other axes, whose spans are not worth listing).
    plan.zero_fill = !(plan.blocks > 0 && blocks_cover_image(s, plan.grid_size, D));
    const PlainArray& a = in[IN_IMAGE_A];
    OutputShape shape = {a.ndims < D ? static_cast<int>(a.ndims) : D, {0, 0, 0}};
    for (int axis = 0; axis < shape.ndims; ++axis) shape.extent[axis] = extent_of(a, axis);
    plan.output[OUT_MAPPED_A] = shape;
    plan.output[OUT_MAPPED_B] = shape;
    return plan;
}

}  // namespace regkern
