// The host-free remapping: check_remap (remap_check.h) plans a call, and
// run_remap lays the block grid, takes every worker's scratch and fans the
// block layers out over worker threads. RemapCall binds both for the front
// ends (host_args.h for the MEX hosts).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "remap_check.h"
#include "remap_worker.h"
#include "scratch.h"
#include "worker_threads.h"

namespace regkern {

// One worker's scratch, in one allocation laid out into the task:
// both histograms, the mode caches and, on the binned path, the buffer, its
// ring tags and the window offsets. Every part starts on a cache line of its
// own and no line is shared with another allocation: the histograms and mode
// caches are written for every block, and two workers writing into one line
// would pass it back and forth between their cores. Only the histograms
// start at zero; the rest is written before it is read, so the buffer (the
// bulk of it) is not swept on the calling thread before the workers start.
template <class T>
Scratch<char> take_worker_scratch(RemapTask<T>& task, const RemapShared<T>& s)
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
    const size_t hist = cache_line_bytes(nb * nb, sizeof(T));
    const size_t modes = cache_line_bytes(2 * nb, sizeof(int32_t));
    const size_t buffer = cache_line_bytes(buffer_voxels, sizeof(BinnedVoxel<T>));
    const size_t indices = cache_line_bytes(index_count, sizeof(int32_t));
    size_t total = cache_line;
    for (const size_t part : {hist, hist, modes, buffer, indices}) {
        if (part > SIZE_MAX - total) throw std::bad_alloc();
        total += part;
    }
    Scratch<char> block = take_scratch<char>(static_cast<int64_t>(total));
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

template <class T>
void run_remap_layers(const RemapPlan<T>& plan, T* out_a, T* out_b, double host_threads)
{
    if (plan.blocks == 0) return;
    RemapShared<T> s = plan.shared;
    s.out_a = out_a;
    s.out_b = out_b;
    const int dims = plan.dims;

    // A plane has one slice and no z blocks to place.
    std::vector<AxisSpan> spans[3];
    for (int axis = 0; axis < dims; ++axis)
        spans[axis] = box_writing_spans(plan.grid_size[axis], s.spacing, s.half_span,
                                        s.image_size[axis], s.window_size[axis], s.half_window[axis],
                                        s.box_lo[axis], s.box_lo[axis] + s.box_size[axis]);
    if (dims == 2) spans[2].push_back(AxisSpan{0, 0, 0, 0, 0, 0});
    for (int axis = 0; axis < 3; ++axis) {
        s.spans[axis] = spans[axis].data();
        s.span_count[axis] = static_cast<int32_t>(spans[axis].size());
    }
    s.slab_axis = dims - 1;
    const int32_t layers = s.span_count[s.slab_axis];
    int32_t workers = worker_count(host_threads, layers);
    // No more workers than the machine has memory for (the check made sure
    // of one); every worker count gives the same bits.
    const double available = available_memory_bytes();
    const double per_worker = remap_worker_histogram_bytes<T>(s.nb);
    if (available >= 0 && workers * per_worker > available)
        workers = std::max<int32_t>(1, static_cast<int32_t>(available / per_worker));
    choose_binned_layout(s);
    std::vector<T> bin_value(static_cast<size_t>(s.nb));
    for (int32_t bin = 0; bin < s.nb; ++bin) bin_value[bin] = bin_intensity(bin, s);
    s.bin_value = bin_value.data();

    // Scratch for every worker, taken before any thread starts so that a
    // failed allocation leaves nothing running.
    std::vector<RemapTask<T>> tasks(workers);
    std::vector<Scratch<char>> scratch;
    for (int32_t t = 0; t < workers; ++t) {
        RemapTask<T>& task = tasks[t];
        task.shared = &s;
        task.first_layer = share_start(t, workers, layers);
        task.end_layer = share_start(t + 1, workers, layers);
        scratch.push_back(take_worker_scratch(task, s));
    }
    run_workers(tasks, remap_worker<T>);
}

// Fills the outputs of a planned call (each as many elements as the plan's
// output shape, zero-filled when plan.zero_fill says so) on up to
// host_threads threads (the host's "maxNumCompThreads"; worker_count), after
// the census of the images against the range (outOfRange). Throws a
// Failure: outOfMemory, threadStart.
template <class T>
void run_remap(const RemapPlan<T>& plan, T* out_a, T* out_b, double host_threads,
               GatewayWarnings& warnings)
{
    try {
        warn_remap_outside(plan, host_threads, warnings);
        run_remap_layers(plan, out_a, out_b, host_threads);
    } catch (...) {
        rethrow_as_failure();
    }
}

// A remapping plug-in for the front ends: D = 3 for the volumes, 2 for the
// plane.
template <class T, int D>
struct RemapCall {
    using Element = T;
    using Plan = RemapPlan<T>;
    static constexpr int input_count = REMAP_INPUTS;
    static constexpr int output_count = REMAP_OUTPUTS;
    static constexpr const CallSignature& signature = remap_signature;
    static Plan check(const PlainArray* inputs, GatewayWarnings& warnings)
    {
        return check_remap<T, D>(inputs, warnings);
    }
    static void run(const Plan& plan, T* const* outputs, double host_threads,
                    GatewayWarnings& warnings)
    {
        run_remap(plan, outputs[OUT_MAPPED_A], outputs[OUT_MAPPED_B], host_threads, warnings);
    }
};

}  // namespace regkern
