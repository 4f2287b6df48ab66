"""Displacement fields as dask arrays: the components on the grid their
first one sets, and the largest |value| per component (one reduction)."""
from __future__ import annotations

from typing import List, Sequence

import dask
import dask.array as da
import numpy as np


def grid_of(first: da.Array, n: int) -> List[int]:
    # The first n axes set the grid; missing axes read as 1.
    return [int(first.shape[a]) if a < first.ndim else 1 for a in range(n)]


def grid_chunks(first: da.Array, n: int) -> tuple:
    # The first component's chunks along the grid's axes.
    return tuple(first.chunks[a] if a < first.ndim else (1,) for a in range(n))


def on_grid(component: da.Array, grid: Sequence[int], chunks) -> da.Array:
    """A component as the in-memory call reads it: the first volume of an
    array with more axes (extraSlices), the grid's first elements in column-
    major order of one with other extents, chunked as `chunks`."""
    n = len(grid)
    x = component
    while x.ndim > n and x.shape[-1] >= 1:
        x = x[..., 0]
    if x.ndim < n:
        x = x.reshape(x.shape + (1,) * (n - x.ndim))
    if tuple(x.shape) != tuple(grid):
        count = int(np.prod(grid, dtype=np.int64))
        # a partner of other extents (partnerShape: most often a mistake)
        # is read as one chunk, as dask reshapes only within chunks
        flat = component.transpose().ravel()[:count].rechunk(-1)
        x = flat.reshape(tuple(reversed(grid))).transpose()
    return x.rechunk(chunks)


def largest_finite(components: Sequence[da.Array]) -> List[float]:
    """The largest |value| of each component's finite values (0 for none),
    computed now: the halo depends on it."""
    reductions = [da.where(da.isfinite(c), abs(c), 0).max() if c.size else
                  da.zeros((), c.dtype) for c in components]
    return [float(v) for v in dask.compute(*reductions)]
