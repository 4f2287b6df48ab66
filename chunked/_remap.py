"""The remapping box by box (remap/remap_region.h): chunk edges where a
block's written voxels begin, each box from the images of the box and its
halo, and the outOfRange and narrowData census over the whole images."""
from __future__ import annotations

from typing import Sequence

import dask
import dask.array as da
import numpy as np

from .. import _core
from . import _field, _lazy

_NAMES = ("A", "B", "C", "D", "range", "bins", "weights", "spacing")


def _region(entry, settings, grid, threads):
    def run(parts, origin, lo, hi):
        inputs = tuple(_lazy.fortran(p) for p in parts)
        inputs = inputs + tuple(_lazy.fortran(s) for s in settings)
        outputs, failure, _ = getattr(_core, entry)(inputs, grid, origin, lo, hi, threads)
        _lazy.report(entry, failure, ())
        return tuple(outputs)
    return run


def block_chunks(grid, chunks, spacing: float, window, single: bool) -> tuple:
    """The chunking nearest the given one whose edges lie where a block's
    written voxels begin, so that each block's histograms are gathered in
    one chunk only."""
    aligned = []
    for a, extent in enumerate(grid):
        target = max(1, int(chunks[a][0])) if chunks[a] else 1
        edges = _core._remap_chunk_edges(extent, spacing, window[a], target, single)
        edges = sorted(set([0] + [int(e) for e in edges] + [extent]))
        aligned.append(tuple(int(d) for d in np.diff(edges)) or (0,))
    return tuple(aligned)


def _warn_census(suffix: str, plugin: str, images, low: float, high: float):
    # The outOfRange and narrowData warnings: per distinct image its voxels
    # inside the range and its least and greatest value (one reduction over
    # all of them), then, for the images the warnings need, their finite
    # census (a second reduction), as the whole call tells them.
    distinct, inputs = [], []
    for k, image in enumerate(images):
        if all(image.name != other.name for other in distinct):
            distinct.append(image)
            inputs.append(k)
    census = getattr(_core, "_remap_census" + suffix)

    def spread(*blocks):
        return census(tuple(_lazy.fortran(b) for b in blocks), low, high)

    per_chunk = dask.compute(*[dask.delayed(spread, pure=True)(*[x.blocks[i] for x in distinct])
                               for i, _, _ in _lazy.boxes(distinct[0].chunks)])
    entries = []
    for j, (k, x) in enumerate(zip(inputs, distinct)):
        parts = np.array([c[j] for c in per_chunk], dtype=np.float64).reshape(-1, 3)
        inside = sum(int(c[j][0]) for c in per_chunk)
        entries.append((k, int(x.size), inside, float(np.min(parts[:, 1], initial=np.inf)),
                        float(np.max(parts[:, 2], initial=-np.inf)), None, None, None))
    warned, needs = getattr(_core, "_remap_outside" + suffix)(entries, low, high)
    if needs:
        finite = getattr(_core, "_finite_census" + suffix)
        asked = [x for k, x in zip(inputs, distinct) if k in needs]
        counts = dask.compute(*[[dask.delayed(finite, pure=True)(_fortran_block(b))
                                 for b in x.to_delayed().ravel()] for x in asked])
        filled = dict()
        for k, chunks in zip([k for k in inputs if k in needs], counts):
            ends = np.array([c[1:] for c in chunks], dtype=np.float64).reshape(-1, 2)
            filled[k] = (sum(int(c[0]) for c in chunks),
                         float(np.fmin.reduce(ends[:, 0], initial=np.nan)),
                         float(np.fmax.reduce(ends[:, 1], initial=np.nan)))
        entries = [e[:5] + filled.get(e[0], (None, None, None)) for e in entries]
        warned, needs = getattr(_core, "_remap_outside" + suffix)(entries, low, high)
    _lazy.report(plugin, None, warned, stacklevel=5)


def _fortran_block(block):
    return dask.delayed(_lazy.fortran, pure=True)(block)


def remap(family: str, precisions: Sequence[str], n: int, values: Sequence, threads) -> tuple:
    images = [_lazy.as_lazy(v) for v in values[:4]]
    images = [x if isinstance(x, da.Array) else da.from_array(np.asarray(x)) for x in images]
    plugin, arrays = _lazy.check_whole_call(family, precisions, _NAMES,
                                            (*images, *values[4:]), (4, 5, 7), small=(6,))
    suffix = plugin[len(family):]
    single = suffix == "_f32"
    settings = (arrays[4], arrays[5], arrays[6], arrays[7])
    A = images[0]
    grid = _field.grid_of(A, n)
    spacing = float(arrays[7].reshape(-1)[0])
    weights = arrays[6]
    window = [weights.shape[a] if a < weights.ndim else 1 for a in range(n)]
    chunks = block_chunks(grid, _field.grid_chunks(A, n), spacing, window, single)
    images = [_field.on_grid(x.astype(A.dtype, copy=False), grid, chunks) for x in images]
    low, high = (float(v) for v in arrays[4].reshape(-1)[:2])
    if int(np.prod(grid, dtype=np.int64)) > 0 and arrays[4].size == 2:
        _warn_census(suffix, plugin, images, low, high)
    halo = _core._remap_halo(spacing, window, single)
    below, above = [h[0] for h in halo], [h[1] for h in halo]
    kind = plugin[len("remap_"):]
    run = _region("_remap_region_" + kind, settings, grid, _lazy.thread_count(threads, plugin))
    out_a, out_b = _lazy.map_boxes(run, chunks, images, below, above, grid, 2, A.dtype)
    # the outputs take A's own extents (a 2-D A gives 2-D outputs)
    shape = tuple(A.shape[:n]) if A.ndim < n else tuple(grid)
    return out_a.reshape(shape), out_b.reshape(shape)
