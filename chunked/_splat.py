"""The field inversion's splat box by box (dispinvert/dispinvert_region.h):
each box of F from the samples of b that can reach it."""
from __future__ import annotations

from typing import Sequence

import dask.array as da

from .. import _core
from . import _field, _lazy

_AXES = "xyz"


def _region(entry, H, grid, max_abs_b, threads):
    def run(parts, origin, lo, hi):
        # (arrays sent to a worker process may arrive unaligned: laid out again)
        inputs = tuple(_lazy.fortran(p) for p in parts) + (_lazy.fortran(H),)
        outputs, failure, _ = getattr(_core, entry)(inputs, grid, origin, lo, hi, max_abs_b, threads)
        _lazy.report(entry, failure, ())
        return tuple(outputs)
    return run


def splat(family: str, precisions: Sequence[str], field: Sequence, H, threads,
          quiet: bool = False) -> tuple:
    n = len(field)
    components = [_lazy.as_lazy(c) for c in field]
    names = tuple("b" + _AXES[a] for a in range(n)) + ("H",)
    plugin, arrays = _lazy.check_whole_call(family, precisions, names, (*components, H), (),
                                            small=(n,), quiet=quiet)
    H = arrays[n]
    first = components[0]
    grid = _field.grid_of(first, n)
    chunks = _field.grid_chunks(first, n)
    components = [_field.on_grid(c, grid, chunks) for c in components]
    max_abs_b = _field.largest_finite(components)
    kernel = [H.shape[a] if a < H.ndim else 1 for a in range(n)]
    halo = _core._splat_halo(max_abs_b, kernel, grid, plugin.endswith("_f32"))
    below, above = [h[0] for h in halo], [h[1] for h in halo]
    entry = "_splat_region_" + plugin[len("dispinvert_"):]
    run = _region(entry, H, grid, max_abs_b, _lazy.thread_count(threads, plugin))
    return tuple(_lazy.map_boxes(run, chunks, components, below, above, grid, n, first.dtype))
