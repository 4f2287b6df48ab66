"""The refinement pass by pass over the whole field: every pass runs box by
box (each box reads b within ceil(max |F|) + 1 of it), and the stopping
rule reads the largest residual of the whole field, one reduction per pass,
so the steps taken and the bits are the whole call's. F is persisted
between passes (held by the scheduler: the threaded scheduler's process, or
the cluster's workers)."""
from __future__ import annotations

import math
from typing import Optional, Sequence

import dask
import dask.array as da
import numpy as np

from .. import _core
from . import _field, _lazy

_AXES = "xyz"


def _pass_entry(kind: str):
    # the refinement's region pass: "_refine_pass_vol_f64" or, without the
    # underscore, as an earlier module named it
    for name in ("_refine_pass_" + kind, "refine_pass_" + kind):
        if hasattr(_core, name):
            return getattr(_core, name)
    raise RuntimeError(f"regkern._core has no refinement pass for {kind}: rebuild the module")


def _box_pass(entry, grid, method, threads, n):
    def run(parts, origin, lo, hi):
        b, F = parts[:n], parts[n:]
        # F is the box's own (no halo); b comes with the halo.
        box = tuple(slice(l - o, h - o) for l, h, o in zip(lo, hi, origin))
        start = tuple(_lazy.fortran(f[box]) for f in F)
        outputs, failure, _ = entry(tuple(_lazy.fortran(x) for x in b), start, tuple(lo),
                                    tuple(grid), tuple(origin), method, threads)
        _lazy.report("refinement pass", failure, ())
        F_next, r, largest = outputs
        return tuple(F_next) + (r, np.float64(largest))
    return run


def _halo(F_max: Sequence[float], grid: Sequence[int]):
    # ceil(max |F|) + 1 along each axis; a field with a non-finite or huge
    # component reads b up to the grid's faces.
    return [int(math.ceil(m)) + 1 if math.isfinite(m) and m < g else g
            for m, g in zip(F_max, grid)]


def _largest_abs(components):
    # non-finite values count as infinite: they read b at a face
    return [float(v) for v in dask.compute(*[
        da.where(da.isnan(c), np.inf, abs(c)).max() if c.size else 0.0 for c in components])]


def refine(family: str, precisions: Sequence[str], b: Sequence, F0: Sequence, steps, tol,
           threads, method: str = "fixed_point", outcome: Optional[dict] = None):
    """The chunked refinement; with `outcome` (a dict), a call made inside
    invert_field: its check tells no warnings, and the passes' outcome
    (steps_done, max_residual, grew_at, before_growth, after_growth) goes
    into `outcome` for the caller's own warnings instead of notConverged."""
    n = len(b)
    b = [_lazy.as_lazy(c) for c in b]
    F0 = [_lazy.as_lazy(c) for c in F0]
    names = tuple("b" + _AXES[a] for a in range(n)) + tuple(f"F{_AXES[a]}0" for a in range(n)) \
        + ("steps", "tol")
    plugin, arrays = _lazy.check_whole_call(family, precisions, names, (*b, *F0, steps, tol),
                                            (2 * n, 2 * n + 1), quiet=outcome is not None,
                                            per_box_memory=True)
    steps, tol = int(arrays[2 * n].reshape(-1)[0]), float(arrays[2 * n + 1].reshape(-1)[0])
    first = b[0]
    grid = _field.grid_of(first, n)
    chunks = _field.grid_chunks(first, n)
    b = [_field.on_grid(c, grid, chunks) for c in b]
    F = list(dask.persist(*[_field.on_grid(c, grid, chunks) for c in F0]))
    kind = plugin[len("dispinvert_refine_"):]
    run = _box_pass(_pass_entry(kind), grid, method, _lazy.thread_count(threads, plugin), n)
    dtype = first.dtype
    if int(np.prod(grid, dtype=np.int64)) == 0:  # no point: nothing to measure or warn about
        return (*F, da.zeros(grid, dtype, chunks=chunks), 0)
    previous, grew_at, before, after = 0.0, 0, 0.0, 0.0
    F_max = _largest_abs(F)
    for k in range(steps + 1):
        halo = _halo(F_max, grid)
        # F's own box has no halo: the inputs below are b's halo'd, then F's,
        # each cut to the same window so one task reads both.
        *F_next, r, largest = _lazy.map_boxes(run, chunks, b + F, halo, halo, grid, n + 1,
                                              dtype, scalars=1)
        # one computation per pass: the next field, its residual and each
        # box's largest residual together, held for the next pass
        held = dask.persist(*F_next, r, *largest)
        F_next, r, largest = list(held[:n]), held[n], held[n + 1:]
        max_r = max([0.0] + [float(v) for v in dask.compute(*largest)])
        F_max = _largest_abs(F_next)
        if k > 0 and max_r > previous and grew_at == 0:
            grew_at, before, after = k, previous, max_r
        previous = max_r
        if max_r <= tol or k == steps:
            if outcome is not None:
                outcome.update(steps_done=k, max_residual=max_r, grew_at=grew_at,
                               before_growth=before, after_growth=after)
                return (*F, r, k)
            warned = getattr(_core, "_refinement_warnings_" + kind)(
                steps, tol, k, max_r, grew_at, before, after)
            _lazy.report(plugin, None, warned, stacklevel=4)
            return (*F, r, k)
        F = F_next
