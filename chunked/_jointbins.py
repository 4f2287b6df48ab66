"""The joint histogram chunk by chunk: a partial sum per chunk of samples,
then one combine in chunk order (jointbins/jointbins_region.h)."""
from __future__ import annotations

import dask
import dask.array as da
import numpy as np

from .. import _core
from . import _lazy

_NAMES = ("image1", "image2", "lower", "upper", "bins")


def _fortran_flat(x: da.Array) -> da.Array:
    # Column-major order, as the in-memory call pairs the samples.
    return x.transpose().ravel() if x.ndim > 1 else x.reshape(-1)


def _partial(suffix, image1, image2, lower, upper, bins):
    outputs, failure, _ = getattr(_core, "_jointbins_partial" + suffix)(
        tuple(_lazy.fortran(x) for x in (image1, image2, lower, upper, bins)), 1.0)
    if failure is not None:  # the whole call's check passed: a chunk cannot fail but for memory
        _lazy.report("jointbins" + suffix, failure, ())
    ends = (float(np.asarray(lower).reshape(-1)[0]), float(np.asarray(upper).reshape(-1)[0]))
    extremes = [getattr(_core, "_jointbins_extremes" + suffix)(_lazy.fortran(image), *ends)
                for image in (image1, image2)]
    return outputs, extremes


def _combine(suffix, partials, lower, upper, bins):
    sums = [tuple(_lazy.fortran(a) for a in p[0][:3]) for p in partials]
    census = [tuple(int(c) for c in p[0][3]) for p in partials]
    # per image: finite least and greatest (fmin, fmax: NaN where a chunk has
    # none), then the least and greatest value that is not NaN
    extremes = []
    for k in range(2):
        ends = np.array([p[1][k] for p in partials], dtype=np.float64).reshape(-1, 4)
        extremes.append((float(np.fmin.reduce(ends[:, 0], initial=np.nan)),
                         float(np.fmax.reduce(ends[:, 1], initial=np.nan)),
                         float(np.min(ends[:, 2], initial=np.inf)),
                         float(np.max(ends[:, 3], initial=-np.inf))))
    return getattr(_core, "_jointbins_combine" + suffix)(sums, census, float(lower), float(upper),
                                                          float(bins), extremes)


def jointbins(image1, image2, lower, upper, bins, *, threads=None):
    a, b = _lazy.as_lazy(image1), _lazy.as_lazy(image2)
    if not isinstance(a, da.Array):
        a = da.from_array(np.asarray(a))
    if not isinstance(b, da.Array):
        b = da.from_array(np.asarray(b))
    plugin, arrays = _lazy.check_whole_call("jointbins", ("f64", "f32"), _NAMES,
                                            (a, b, lower, upper, bins), (2, 3, 4),
                                            any_extent=True)
    suffix = plugin[len("jointbins"):]
    lower, upper, bins = (arrays[k] for k in (2, 3, 4))
    if b.shape == a.shape:
        b = b.rechunk(a.chunks)
    else:  # a partner of another shape (partnerShape), or a longer one: paired in column-major order
        a = _fortran_flat(a)
        b = _fortran_flat(b)[:a.shape[0]].rechunk(a.chunks)
    b = b.astype(a.dtype, copy=False)
    partial = dask.delayed(_partial, pure=True)
    partials = [partial(suffix, a.blocks[index], b.blocks[index], lower, upper, bins)
                for index, _, _ in _lazy.boxes(a.chunks)]
    combined = dask.delayed(_combine, pure=True)(suffix, partials, lower, upper, bins)
    return _lazy.reported(combined, plugin)
