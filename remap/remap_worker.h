// The remapping thread body: the order in which a worker visits the blocks
// of its block layers, and whether it bins window samples on the fly or
// through the binned buffer. Every voxel is mapped by exactly one block
// (write_hi), so the order of the blocks does not change the outputs.
#pragma once

#include <cstdint>

#include "remap_binned.h"
#include "remap_block.h"

namespace regkern {

// Blocks per tile edge on the on-the-fly path: the windows of neighbouring
// blocks overlap, so the blocks of a layer are visited in tiles whose
// windows together stay in cache.
constexpr int32_t direct_tile_blocks = 4;

template <class T>
void remap_worker_direct(const RemapTask<T>& task)
{
    const RemapShared<T>& s = *task.shared;
    int32_t first[3] = {0, 0, 0};
    int32_t end[3] = {s.span_count[0], s.span_count[1], s.span_count[2]};
    first[s.slab_axis] = task.first_layer;
    end[s.slab_axis] = task.end_layer;

    AxisSpan span[3];
    for (int32_t iz = first[2]; iz < end[2]; ++iz) {
        span[2] = s.spans[2][iz];
        for (int32_t ty = first[1]; ty < end[1]; ty += direct_tile_blocks) {
            const int32_t ty_end = ty + direct_tile_blocks < end[1] ? ty + direct_tile_blocks : end[1];
            for (int32_t tx = first[0]; tx < end[0]; tx += direct_tile_blocks) {
                const int32_t tx_end =
                    tx + direct_tile_blocks < end[0] ? tx + direct_tile_blocks : end[0];
                for (int32_t iy = ty; iy < ty_end; ++iy) {
                    span[1] = s.spans[1][iy];
                    for (int32_t ix = tx; ix < tx_end; ++ix) {
                        span[0] = s.spans[0][ix];
                        if (s.nb > whole_clear_bins)
                            remap_block<T, true>(task, span);
                        else
                            remap_block<T, false>(task, span);
                    }
                }
            }
        }
    }
}

// Tile by tile across the slab axis; within a tile, layer by layer along it,
// so that each layer's windows find most of their slices already binned.
template <class T>
void remap_worker_binned(const RemapTask<T>& task)
{
    const RemapShared<T>& s = *task.shared;
    const int r = s.slab_axis, v = buffer_cross_axis(r);
    const TouchedBox whole{0, s.nb - 1, 0, s.nb - 1};
    int32_t first[3], end[3], origin[3] = {0, 0, 0}, count[3] = {0, 0, 0};
    AxisSpan span[3];
    const int32_t tile_u = s.tile_blocks[0], tile_v = s.tile_blocks[v];
    for (int32_t tv = 0; tv < s.span_count[v]; tv += tile_v) {
        first[v] = tv;
        end[v] = tv + tile_v < s.span_count[v] ? tv + tile_v : s.span_count[v];
        for (int32_t tu = 0; tu < s.span_count[0]; tu += tile_u) {
            first[0] = tu;
            end[0] = tu + tile_u < s.span_count[0] ? tu + tile_u : s.span_count[0];
            for (const int axis : {0, v}) {
                int32_t lo, hi;
                window_reach(s.spans[axis], first[axis], end[axis], s.half_window[axis], &lo, &hi);
                origin[axis] = lo;
                count[axis] = hi - lo + 1;
            }
            for (int32_t slot = 0; slot < s.buffer_extent[r]; ++slot) task.ring_tags[slot] = -1;

            for (int32_t layer = task.first_layer; layer < task.end_layer; ++layer) {
                span[r] = s.spans[r][layer];
                fill_ring(task, origin, count, layer);
                for (int32_t iv = first[v]; iv < end[v]; ++iv) {
                    span[v] = s.spans[v][iv];
                    for (int32_t iu = first[0]; iu < end[0]; ++iu) {
                        span[0] = s.spans[0][iu];
                        gather_binned(task, span, origin);
                        finish_block(task, span, whole, whole);
                    }
                }
            }
        }
    }
}

template <class T>
void remap_worker(const RemapTask<T>* task)
{
    if (task->shared->tile_blocks[0] > 0)
        remap_worker_binned(*task);
    else
        remap_worker_direct(*task);
}

}  // namespace regkern
