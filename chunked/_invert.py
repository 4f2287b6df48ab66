"""invert_field chunk by chunk: the in-memory call's checks on stand-ins of
the field, then the chunked splat and refinement, and the residual's
statistics and warnings as the compiled call tells them."""
from __future__ import annotations

import dask
import dask.array as da
import numpy as np

import regkern as _memory

from .. import _core
from . import _lazy, _refine, _splat


def _checked(b, kernel, steps, tolerance, method, threads, H):
    """invert_field's checks on stand-ins of b (no data read): its failures
    and warnings, with its identifiers and messages, when the graph is
    built; gives the suffix of the compiled call and the prepared options.
    The chunked call holds no whole field, so outOfMemory is not its to
    raise."""
    try:
        b = [_lazy.as_lazy(c) for c in b]
    except TypeError:
        b = None
    if b is not None:
        b = [_lazy.standin(c.shape, c.dtype) if isinstance(c, da.Array) else c for c in b]
    if isinstance(kernel, da.Array):
        kernel = np.asarray(kernel.compute())
    if isinstance(H, da.Array):
        H = np.asarray(H.compute())
    suffix, plane, b, options = _memory._invert_prepare(
        b, kernel, steps, tolerance, method, 1 if threads is None else threads, H)
    if plane and len(b) == 3:  # a float32 plane, one slice deep: no memory for the zeros
        b[2] = _lazy.standin(b[0].shape, np.float32)
    failure, warned = getattr(_core, "_check_invert_field_" + suffix)(
        tuple(_lazy.fitted(b)) + tuple(options))
    if failure is not None and failure[0] == "outOfMemory":
        failure = None
    _memory._invert_report(failure, warned)
    return suffix, plane, options


def invert_field(b, kernel=1, steps=20, tolerance=1e-4, *, method="newton", threads=None,
                 H=None):
    suffix, plane, options = _checked(b, kernel, steps, tolerance, method, threads, H)
    kernel, steps, tolerance = options[0], float(options[1].reshape(-1)[0]), \
        float(options[2].reshape(-1)[0])
    refine_method = "newton" if method.lower() == "newton" else "fixed_point"
    b = [_lazy.as_lazy(c) for c in b]
    b = [c if isinstance(c, da.Array) else da.from_array(np.asarray(c)) for c in b]
    if plane and suffix.startswith("vol"):  # no float32 plane plug-ins: one slice deep
        b = b + [da.zeros_like(b[0])]
    outcome = {"steps_done": 0, "max_residual": 0.0, "grew_at": 0, "before_growth": 0.0,
               "after_growth": 0.0}
    if len(b) == 2:
        F0 = _splat.splat("dispinvert_plane", ("f64",), b, kernel, threads, quiet=True)
        *F, r, done = _refine.refine("dispinvert_refine_plane", ("f64",), b, F0, steps, tolerance,
                                     threads, refine_method, outcome)
    else:
        F0 = _splat.splat("dispinvert_vol", ("f64", "f32"), b, kernel, threads, quiet=True)
        *F, r, done = _refine.refine("dispinvert_refine_vol", ("f64", "f32"), b, F0, steps,
                                     tolerance, threads, refine_method, outcome)
    # The residual's statistics over the whole grid; an unrefined point kept
    # its start, so a non-finite component there is a non-finite start.
    finite = da.isfinite(r)
    bad_start = ~da.isfinite(F[0])
    for f in F[1:]:
        bad_start = da.logical_or(bad_start, ~da.isfinite(f))
    count, total, largest, not_finite_start = dask.compute(
        finite.sum(), da.where(finite, r, 0).sum(dtype=np.float64),
        da.where(finite, r, 0).max() if r.size else 0.0, da.logical_and(~finite, bad_start).sum())
    points = int(r.size)
    count = int(count)
    unrefined = points - count
    if plane:
        F = F[:2]
    warned = getattr(_core, "_invert_field_warnings_" + suffix)(
        int(steps), tolerance, outcome["steps_done"], outcome["max_residual"], outcome["grew_at"],
        outcome["before_growth"], outcome["after_growth"], unrefined, int(not_finite_start), points)
    _memory._invert_report(None, warned)
    largest = float(largest)
    info = {"steps": done, "max_residual": largest,
            "mean_residual": float(total) / count if count else float("nan"),
            "converged": largest <= tolerance and count == points,
            "unrefined": unrefined}
    return tuple(F), info
