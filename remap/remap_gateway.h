// The remapping gateway shared by remap_vol_f32, remap_vol_f64 (D = 3) and
// remap_plane_f64 (D = 2): checks the call, creates the outputs, lays the
// block grid and fans the block layers out over worker threads.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "host_args.h"
#include "worker_threads.h"
#include "remap_schedule.h"

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
    REMAP_INPUT_COUNT
};

// Largest bin count whose bins * bins cells can be indexed in 32 bits.
constexpr int32_t remap_max_bins = 46340;

// Checked scalar settings of a call, in the element type.
template <class T>
struct RemapSettings {
    T min, max, bins, spacing, bin_scale;
};

// The inputs as messages name them (the names of the plug-ins' help).
constexpr InputName remap_names[REMAP_INPUT_COUNT] = {
    {"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"range", 5}, {"bins", 6}, {"weights", 7}, {"spacing", 8}};

template <class T>
RemapSettings<T> read_remap_settings(const mxArray* const prhs[])
{
    RemapSettings<T> settings;
    const InputName range_name = remap_names[IN_RANGE];
    const T* range = real_input<T>(prhs[IN_RANGE], range_name);
    const size_t range_count = mxGetNumberOfElements(prhs[IN_RANGE]);
    if (range_count < 2)
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

    const InputName bins_name = remap_names[IN_BINS];
    const char* const bins_wanted = "a whole number from 2 to 46340";
    const T* bins = real_input<T>(prhs[IN_BINS], bins_name);
    settings.bins = first_element(prhs[IN_BINS], bins, bins_name, bins_wanted);
    if (!(settings.bins >= 2) || !(settings.bins <= remap_max_bins) ||
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

    const InputName spacing_name = remap_names[IN_SPACING];
    const char* const spacing_wanted = "a finite block edge greater than 0";
    const T* spacing = real_input<T>(prhs[IN_SPACING], spacing_name);
    settings.spacing = first_element(prhs[IN_SPACING], spacing, spacing_name, spacing_wanted);
    if (!std::isfinite(settings.spacing) || !(settings.spacing > 0))
        fail("badSpacing", label(spacing_name) + " is " + value_text(settings.spacing) +
                               "; pass " + spacing_wanted);
    return settings;
}

template <class T>
[[noreturn]] void fail_tiny_spacing(T spacing)
{
    fail("badSpacing", label(remap_names[IN_SPACING]) + " is " + value_text(spacing) +
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

// free() for scratch taken with malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

constexpr size_t cache_line = 64;

// count * size rounded up to whole cache lines; std::bad_alloc when that does
// not fit in size_t.
inline size_t scratch_bytes(size_t count, size_t size)
{
    if (count > (SIZE_MAX - cache_line) / (size > 0 ? size : 1)) throw std::bad_alloc();
    return (count * size + cache_line - 1) / cache_line * cache_line;
}

// One worker's scratch, in one allocation laid out into the task:
// both histograms, the mode caches and, on the binned path, the buffer, its
// ring tags and the window offsets. Every part starts on a cache line of its
// own and no line is shared with another allocation: the histograms and mode
// caches are written for every block, and two workers writing into one line
// would pass it back and forth between their cores. Only the histograms
// start at zero; the rest is written before it is read, so the buffer (the
// bulk of it) is not swept on the calling thread before the workers start.
template <class T>
std::unique_ptr<char[], FreeDeleter> take_worker_scratch(RemapTask<T>& task,
                                                         const RemapShared<T>& s)
{
    const bool binned = s.tile_blocks[0] > 0;
    const int r = s.slab_axis;
    const size_t nb = static_cast<size_t>(s.nb);
    const size_t buffer_voxels = binned ? static_cast<size_t>(s.buffer_extent[0]) *
                                              static_cast<size_t>(s.buffer_extent[1]) *
                                              static_cast<size_t>(s.buffer_extent[2])
                                        : 0;
    const size_t index_count =
        binned ? static_cast<size_t>(s.buffer_extent[r]) + static_cast<size_t>(s.window_size[0]) +
                     static_cast<size_t>(s.window_size[1]) + static_cast<size_t>(s.window_size[2])
               : 0;
    const size_t hist = scratch_bytes(nb * nb, sizeof(T));
    const size_t modes = scratch_bytes(2 * nb, sizeof(int32_t));
    const size_t buffer = scratch_bytes(buffer_voxels, sizeof(BinnedVoxel<T>));
    const size_t indices = scratch_bytes(index_count, sizeof(int32_t));
    size_t total = cache_line;
    for (const size_t part : {hist, hist, modes, buffer, indices}) {
        if (part > SIZE_MAX - total) throw std::bad_alloc();
        total += part;
    }
    std::unique_ptr<char[], FreeDeleter> block(static_cast<char*>(std::malloc(total)));
    if (!block) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(block.get());
    char* at = block.get() + (cache_line - start % cache_line) % cache_line;
    task.hist_ad = reinterpret_cast<T*>(at);
    at += hist;
    task.hist_cb = reinterpret_cast<T*>(at);
    at += hist;
    std::memset(task.hist_ad, 0, 2 * hist);
    task.mode_a = reinterpret_cast<int32_t*>(at);
    task.mode_b = task.mode_a + nb;
    for (size_t k = 0; k < 2 * nb; ++k) task.mode_a[k] = -1;
    at += modes;
    if (binned) {
        task.binned = reinterpret_cast<BinnedVoxel<T>*>(at);
        at += buffer;
        task.ring_tags = reinterpret_cast<int32_t*>(at);
        task.window_offsets[0] = task.ring_tags + s.buffer_extent[r];
        task.window_offsets[1] = task.window_offsets[0] + s.window_size[0];
        task.window_offsets[2] = task.window_offsets[1] + s.window_size[1];
    }
    return block;
}

// Runs every task: the calling thread takes the last share itself. A thread
// that cannot be started fails the call once the started ones have been
// joined; the join is the only synchronisation.
template <class T>
void run_remap_workers(const std::vector<RemapTask<T>>& tasks)
{
    std::vector<std::thread> threads;
    threads.reserve(tasks.size() - 1);
    try {
        for (size_t t = 0; t + 1 < tasks.size(); ++t)
            threads.emplace_back(remap_worker<T>, &tasks[t]);
    } catch (...) {
        for (std::thread& thread : threads) thread.join();
        throw;
    }
    remap_worker<T>(&tasks.back());
    for (std::thread& thread : threads) thread.join();
}

// Calls that are carried out but can only be a mistake: inputs with slices
// beyond the D extents read, and window weights that gather nothing (every
// voxel then maps to min).
template <class T, int D>
void warn_remap_call(const mxArray* const prhs[], const RemapShared<T>& s, int64_t voxels,
                     GatewayWarnings& warnings)
{
    const int64_t window_count = static_cast<int64_t>(s.window_size[0]) * s.window_size[1] *
                                 s.window_size[2];
    std::vector<InputName> sliced;
    for (int k : {IN_IMAGE_A, IN_IMAGE_B, IN_IMAGE_C, IN_IMAGE_D, IN_WEIGHTS}) {
        const int64_t read = k == IN_WEIGHTS ? window_count : voxels;
        if (has_extra_slices(prhs[k], D) &&
            static_cast<int64_t>(mxGetNumberOfElements(prhs[k])) > read)
            sliced.push_back(remap_names[k]);
    }
    warn_extra_slices(warnings, sliced, D);

    if (voxels == 0) return;
    bool all_zero = true;
    for (int64_t i = 0; i < window_count && all_zero; ++i) all_zero = s.weights[i] == 0;
    if (all_zero)
        warn(warnings, "zeroWeights",
             label(remap_names[IN_WEIGHTS]) + " is " +
                 (window_count == 0 ? "empty (" + size_text(prhs[IN_WEIGHTS]) + ")" : "all zero") +
                 ": nothing is gathered and every " + (D == 2 ? "pixel" : "voxel") +
                 " maps to min; pass weights with a nonzero element, e.g. ones(" +
                 (D == 2 ? "9, 9" : "9, 9, 9") + ")");
}

template <class T, int D>
void remap_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                   GatewayWarnings& warnings)
{
    check_counts(nrhs, REMAP_INPUT_COUNT, "8 inputs are required.", nlhs, 2,
                 "2 outputs are required");

    RemapShared<T> s = {};
    s.image_a = real_input<T>(prhs[IN_IMAGE_A], remap_names[IN_IMAGE_A]);
    s.image_b = real_input<T>(prhs[IN_IMAGE_B], remap_names[IN_IMAGE_B]);
    s.image_c = real_input<T>(prhs[IN_IMAGE_C], remap_names[IN_IMAGE_C]);
    s.image_d = real_input<T>(prhs[IN_IMAGE_D], remap_names[IN_IMAGE_D]);
    s.weights = real_input<T>(prhs[IN_WEIGHTS], remap_names[IN_WEIGHTS]);

    const std::array<int32_t, D> image =
        leading_extents<D>(prhs[IN_IMAGE_A], remap_names[IN_IMAGE_A]);
    const std::array<int32_t, D> window =
        leading_extents<D>(prhs[IN_WEIGHTS], remap_names[IN_WEIGHTS]);
    int64_t voxels = 1;
    for (int axis = 0; axis < 3; ++axis) {
        s.image_size[axis] = axis < D ? image[axis] : 1;
        s.window_size[axis] = axis < D ? window[axis] : 1;
        s.half_window[axis] = (s.window_size[axis] - 1) / 2;
        voxels *= s.image_size[axis];
    }
    {
        // Scoped: nothing with a destructor may be alive when the outputs are
        // created.
        const std::string per =
            std::string("one per ") + (D == 2 ? "pixel" : "voxel") + " of " + label(remap_names[IN_IMAGE_A]);
        for (int k : {IN_IMAGE_B, IN_IMAGE_C, IN_IMAGE_D})
            check_min_elements(prhs[k], voxels, remap_names[k], per);
    }

    const RemapSettings<T> settings = read_remap_settings<T>(prhs);
    s.min = settings.min;
    s.bins = settings.bins;
    s.nb = static_cast<int32_t>(settings.bins);
    s.spacing = settings.spacing;
    s.bin_scale = settings.bin_scale;
    s.half_span = static_cast<T>((static_cast<double>(settings.spacing) - 1.0) / 2.0);

    int32_t grid_size[3];
    int64_t blocks = 1;
    for (int axis = 0; axis < 3; ++axis) {
        grid_size[axis] = axis < D ? block_count(s.image_size[axis], s.spacing) : 1;
        blocks *= grid_size[axis];
        if (blocks > INT32_MAX) fail_tiny_spacing(s.spacing);
    }
    warn_remap_call<T, D>(prhs, s, voxels, warnings);
    const double host_threads = host_thread_count();

    // Outputs take image A's own dimension vector (a volume's first three
    // extents, a plane's first two). Nothing with a destructor is alive yet:
    // a failed creation leaves through the host's error exit.
    // An empty image has nothing to map (and an extent of up to 2^31 - 1 on
    // its other axes, whose spans are not worth listing).
    const bool every_voxel_mapped = blocks > 0 && blocks_cover_image(s, grid_size, D);
    const mwSize ndims_a = mxGetNumberOfDimensions(prhs[IN_IMAGE_A]);
    const mwSize out_ndims = ndims_a < D ? ndims_a : D;
    const mwSize* dims_a = mxGetDimensions(prhs[IN_IMAGE_A]);
    for (int k = 0; k < 2; ++k) {
        if (every_voxel_mapped)
            plhs[k] = mxCreateUninitNumericArray(out_ndims, const_cast<mwSize*>(dims_a),
                                                 ElementClass<T>::id, mxREAL);
        else
            plhs[k] = mxCreateNumericArray(out_ndims, dims_a, ElementClass<T>::id, mxREAL);
    }
    s.out_a = static_cast<T*>(mxGetData(plhs[0]));
    s.out_b = static_cast<T*>(mxGetData(plhs[1]));
    if (blocks == 0) return;

    // A plane has one slice and no z blocks to place.
    std::vector<AxisSpan> spans[3];
    for (int axis = 0; axis < D; ++axis)
        spans[axis] = writing_spans(grid_size[axis], s.spacing, s.half_span, s.image_size[axis],
                                    s.window_size[axis], s.half_window[axis]);
    if (D == 2) spans[2].push_back(AxisSpan{0, 0, 0, 0, 0, 0});
    for (int axis = 0; axis < 3; ++axis) {
        s.spans[axis] = spans[axis].data();
        s.span_count[axis] = static_cast<int32_t>(spans[axis].size());
    }
    s.slab_axis = D - 1;
    const int32_t layers = s.span_count[s.slab_axis];
    const int32_t workers = worker_count(host_threads, layers);
    choose_binned_layout(s);
    std::vector<T> bin_value(static_cast<size_t>(s.nb));
    for (int32_t bin = 0; bin < s.nb; ++bin) bin_value[bin] = bin_intensity(bin, s);
    s.bin_value = bin_value.data();

    // Scratch for every worker, taken before any thread starts so that a
    // failed allocation leaves nothing running.
    std::vector<RemapTask<T>> tasks(workers);
    std::vector<std::unique_ptr<char[], FreeDeleter>> scratch;
    for (int32_t t = 0; t < workers; ++t) {
        RemapTask<T>& task = tasks[t];
        task.shared = &s;
        task.first_layer = static_cast<int32_t>(static_cast<int64_t>(t) * layers / workers);
        task.end_layer = static_cast<int32_t>(static_cast<int64_t>(t + 1) * layers / workers);
        scratch.push_back(take_worker_scratch(task, s));
    }

    run_remap_workers(tasks);
}

}  // namespace regkern
