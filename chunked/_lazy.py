"""What every chunked function does around the core's region entries: take
the inputs as dask arrays, check the whole call once when the graph is
built, cut the outputs into boxes, hand each box its inputs with the halo
it reads, and report the call's failures and warnings on the caller's side.
"""
from __future__ import annotations

import mmap
import warnings
from typing import Any, Callable, List, Sequence, Tuple

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed

from .. import _core, _front

INT32_MAX = 2**31 - 1


def as_lazy(value: Any) -> Any:
    """A dask array for anything dask.array.from_array takes (a zarr array,
    an HDF5 dataset, a NumPy memory map, an ndarray), keeping its own
    chunks; numbers and sequences stay as they are (settings)."""
    if isinstance(value, da.Array):
        return value
    if hasattr(value, "shape") and hasattr(value, "dtype") and getattr(value, "ndim", 0) > 0:
        chunks = getattr(value, "chunks", None)
        if not (isinstance(chunks, tuple) and all(isinstance(c, int) for c in chunks)):
            chunks = "auto"
        return da.from_array(value, chunks=chunks)
    return value


def thread_count(threads: Any, plugin: str) -> float:
    """Threads per chunk: 1 by default, as dask runs the chunks side by side;
    otherwise checked as the in-memory call checks it."""
    return 1.0 if threads is None else _front.thread_count(threads, plugin)


def standin(shape: Sequence[int], dtype: Any) -> np.ndarray:
    """A Fortran-ordered array of zeros of this shape that takes no memory:
    the pages are never written, and reading one maps the system's zero
    page. The whole call's check reads the shapes, never the values."""
    dtype = np.dtype(dtype)
    size = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    flags = getattr(mmap, "MAP_PRIVATE", 0) | getattr(mmap, "MAP_ANONYMOUS", 0)
    if size == 0 or not flags:
        return np.zeros(shape, dtype, order="F")
    buffer = mmap.mmap(-1, size, flags=flags | getattr(mmap, "MAP_NORESERVE", 0),
                       prot=mmap.PROT_READ)
    return np.ndarray(tuple(shape), dtype, buffer=buffer, order="F")


def standins(values: Sequence[Any], small: Sequence[int] = ()) -> list:
    """The call's values with every dask array replaced by a stand-in of its
    shape and dtype; the inputs listed in `small` (window weights, kernels)
    are computed, as the check reads their values."""
    result = []
    for k, value in enumerate(values):
        if isinstance(value, da.Array):
            value = np.asarray(value.compute()) if k in small else standin(value.shape, value.dtype)
        result.append(value)
    return result


def report(plugin: str, failure: Any, warned: Sequence[Tuple[str, str]], stacklevel: int = 4):
    """Raises a refused call and issues its warnings as the in-memory call
    does (same exception types, identifiers and messages, in Python's
    notation)."""
    if failure is not None:
        condition, message = failure
        raise _front._error(_front._FAILURE_TYPES.get(condition, ValueError), plugin, condition,
                            _front.python_text(message))
    for condition, message in warned:
        warning = _front.RegkernWarning(_front.python_text(message))
        warning.identifier = plugin + ":" + condition
        warning.condition = condition
        warnings.warn(warning, stacklevel=stacklevel)


def _reduced(arrays: List[np.ndarray]) -> List[np.ndarray]:
    # The whole call's shape holds more than 2^31 - 1 elements, which the
    # in-memory check refuses (tooLarge) before the settings: the settings'
    # and shapes' other checks run on a stand-in cut along its last axes to
    # fit, the arrays of the first input's shape cut alike.
    shape = list(arrays[0].shape)
    cut = list(shape)
    for axis in reversed(range(len(cut))):
        if int(np.prod(cut, dtype=np.int64)) <= INT32_MAX:
            break
        rest = int(np.prod(cut[:axis], dtype=np.int64)) or 1
        cut[axis] = max(1, INT32_MAX // rest)
    return [standin(cut, a.dtype) if list(a.shape) == shape else a for a in arrays]


def fitted(arrays: List[np.ndarray], any_extent: bool = False) -> List[np.ndarray]:
    """The stand-ins the in-memory check takes: cut to 2^31 - 1 elements
    where the whole call's shape holds more, and no extent is beyond that
    (a grid's extents must fit the region entries) unless `any_extent` (the
    joint histogram's samples, cut into chunks of samples)."""
    if int(np.prod(arrays[0].shape, dtype=np.int64)) > INT32_MAX and \
            (any_extent or all(e <= INT32_MAX for e in arrays[0].shape)):
        return _reduced(arrays)
    return arrays


def check_whole_call(family: str, precisions: Sequence[str], names: Sequence[str],
                     values: Sequence[Any], settings: Sequence[int], small: Sequence[int] = (),
                     quiet: bool = False, any_extent: bool = False,
                     per_box_memory: bool = False) -> Tuple[str, list]:
    """The in-memory call's checks on the whole call's shapes and settings,
    run once when the graph is built: raises its failure, issues its
    warnings (unless `quiet`: a call made inside another, which tells its
    own), and gives the plug-in and the prepared small inputs (settings
    converted to the call's dtype). Volumes beyond 2^31 - 1 elements are the
    chunked functions' to take; so are volumes beyond memory where the
    check's last word, outOfMemory, counts memory for the whole volume that
    the chunked call takes box by box (`per_box_memory`: the refinement)."""
    plugin, arrays = _front.prepare(family, precisions, names, standins(values, small), settings)
    failure, warned = getattr(_core, "_check_" + plugin)(tuple(fitted(arrays, any_extent)))
    if per_box_memory and failure is not None and failure[0] == "outOfMemory":
        failure = None
    report(plugin, failure, () if quiet else warned, stacklevel=5)
    return plugin, arrays


def fortran(block: np.ndarray) -> np.ndarray:
    return np.require(block, requirements=("F_CONTIGUOUS", "ALIGNED"))


def boxes(chunks: Sequence[Sequence[int]]):
    """(index, lo, hi) of every block of a chunking, in C order of the block
    index: the fixed order the reductions combine in."""
    edges = [np.concatenate(([0], np.cumsum(c))).astype(np.int64) for c in chunks]
    for index in np.ndindex(*[len(c) for c in chunks]):
        lo = [int(edges[a][i]) for a, i in enumerate(index)]
        hi = [int(edges[a][i + 1]) for a, i in enumerate(index)]
        yield index, lo, hi


def halo_slices(lo, hi, below, above, grid):
    """The box [lo, hi) widened by its halo and clipped to the grid's faces:
    (origin, slices)."""
    first = [max(0, l - b) for l, b in zip(lo, below)]
    end = [min(g, h + a) for h, a, g in zip(hi, above, grid)]
    return first, tuple(slice(f, e) for f, e in zip(first, end))


def assemble(blocks: dict, numblocks: Sequence[int]):
    """One dask array from {index: dask array} over a block grid."""
    def nest(prefix):
        if len(prefix) == len(numblocks):
            return blocks[tuple(prefix)]
        return [nest(prefix + [i]) for i in range(numblocks[len(prefix)])]
    return da.block(nest([]))


def map_boxes(func: Callable, chunks, inputs: Sequence[Any], below, above, grid,
              outputs: int, dtype, scalars: int = 0) -> list:
    """Runs func(parts, origin, lo, hi) -> tuple of `outputs` arrays of the
    box's shape (then `scalars` numbers) for every box of `chunks`, parts
    being each input widened by the halo (below, above) and clipped to the
    grid; gives the outputs as dask arrays of the whole grid, then each
    scalar as a list of delayed values, one per box in box order."""
    results = [dict() for _ in range(outputs)]
    per_box = [[] for _ in range(scalars)]
    numblocks = [len(c) for c in chunks]
    call = dask.delayed(func, pure=True, nout=outputs + scalars)
    for index, lo, hi in boxes(chunks):
        origin, window = halo_slices(lo, hi, below, above, grid)
        parts = [x[window] for x in inputs]
        computed = call(parts, origin, lo, hi)
        shape = tuple(h - l for l, h in zip(lo, hi))
        for k in range(outputs):
            results[k][index] = da.from_delayed(computed[k], shape, dtype=dtype)
        for k in range(scalars):
            per_box[k].append(computed[outputs + k])
    return [assemble(r, numblocks) for r in results] + per_box


class Reported(Delayed):
    """A delayed result (outputs, failure, warnings) that raises the failure
    and issues the warnings where it is computed for the caller (compute(),
    dask.compute): once per call, on the caller's side, whichever scheduler
    ran it."""

    __slots__ = ("_plugin",)

    def __dask_postcompute__(self):
        return _reported, (self._plugin,)


def _reported(results, plugin):
    outputs, failure, warned = results[0]  # a delayed value's one key
    report(plugin, failure, warned, stacklevel=6)
    return outputs


def reported(value: Delayed, plugin: str) -> Reported:
    result = Reported(value.key, value.dask)
    result._plugin = plugin
    return result
