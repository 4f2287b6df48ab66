"""What every regkern function does around its kernel: choose the arithmetic
from the dtype, lay the arrays out as the kernels read them, pick the thread
count, and turn the kernel's failures and warnings into Python's.

The kernels (regkern._core) check every value and shape themselves, with the
same messages as the Octave and MATLAB plug-ins; this layer checks only what
is Python's own: the dtype of each array, and the threads keyword.
"""
from __future__ import annotations

import numbers
import os
import warnings
from typing import Any, Sequence, Tuple

import numpy as np

from . import _core

_SUFFIX = {np.dtype(np.float64): "f64", np.dtype(np.float32): "f32"}
_TYPE_NAME = {"f64": "np.float64", "f32": "np.float32"}


class RegkernWarning(UserWarning):
    """A call that regkern carries out but that can only be a mistake (all-zero
    window weights, a kernel that spreads nothing, ...). ``identifier`` is the
    plug-in's warning identifier, e.g. ``"remap_vol_f64:zeroWeights"``, and
    ``condition`` its last part."""

    identifier: str = ""
    condition: str = ""


# The exception a kernel's failure condition maps to. Conditions not listed
# (badRange, badBins, sizeMismatch, empty, tooLarge, ...) are ValueError.
_FAILURE_TYPES = {
    "badClass": TypeError,
    "complex": TypeError,
    "outOfMemory": MemoryError,
    "threadStart": RuntimeError,
}


def _error(kind: type, plugin: str, condition: str, message: str) -> Exception:
    error = kind(message)
    error.identifier = plugin + ":" + condition
    error.condition = condition
    return error


def thread_count(threads: Any) -> float:
    """The kernels' thread count: `threads`, or the cores this process may use."""
    if threads is None:
        if hasattr(os, "sched_getaffinity"):
            return float(len(os.sched_getaffinity(0)))
        return float(os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads is {type(threads).__name__}; pass a whole number of at "
                        f"least 1, or None for every core this process may use")
    if threads < 1:
        raise ValueError(f"threads is {threads}; pass a whole number of at least 1, or None "
                         f"for every core this process may use")
    return float(threads)


def _label(names: Sequence[str], k: int) -> str:
    return f"{names[k]} (input {k + 1})"


def _as_data_array(value: Any, names: Sequence[str], k: int, plugin: str) -> np.ndarray:
    """An image, field, window or kernel as an ndarray, without converting its
    dtype: a Python number stands for a 1-element array of the call's dtype
    (the caller converts it)."""
    if isinstance(value, np.ndarray):
        return value
    try:
        return np.asarray(value)
    except Exception:
        raise _error(TypeError, plugin, "badClass",
                     f"{_label(names, k)} is {type(value).__name__}; pass a NumPy array of "
                     f"floating-point numbers") from None


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _fortran(array: np.ndarray) -> np.ndarray:
    # Aligned and column-major, as the kernels read a[x, y, z]: a Fortran-
    # ordered array passes as it is, any other layout is copied once.
    return np.require(array, requirements=("F_CONTIGUOUS", "ALIGNED"))


def prepare(family: str, precisions: Sequence[str], names: Sequence[str],
            values: Sequence[Any], settings: Sequence[int]) -> Tuple[str, list]:
    """The plug-in a call runs (family + suffix) and its inputs, each an
    aligned Fortran-ordered ndarray of the plug-in's dtype.

    The first input's dtype chooses the arithmetic; every other array must
    have it too. Settings (the indices in `settings`: range, bins, bounds,
    spacing) and Python numbers are converted to it, as the plug-ins' users
    write single(8) in Octave."""
    first = values[0]
    if _is_number(first) and not isinstance(first, np.generic):
        first = np.float64(first)  # a NumPy scalar keeps its own dtype
    first = _as_data_array(first, names, 0, family + "_f64")
    suffix = _SUFFIX.get(first.dtype)
    if suffix not in precisions:
        plugin = family + "_f64"
        if np.issubdtype(first.dtype, np.complexfloating):
            raise _error(TypeError, plugin, "complex",
                         f"{_label(names, 0)} is {first.dtype}; pass {names[0]}.real")
        why = "" if suffix is None else f" and {family} has no {first.dtype} arithmetic"
        other = f" or {names[0]}.astype(np.float32)" if "f32" in precisions else ""
        raise _error(TypeError, plugin, "badClass",
                     f"{_label(names, 0)} is {first.dtype}{why}; pass "
                     f"{names[0]}.astype(np.float64){other}")
    plugin = family + "_" + suffix
    dtype = first.dtype
    arrays = []
    for k, value in enumerate(values):
        if k == 0:
            arrays.append(_fortran(first))
            continue
        if k in settings or _is_number(value):
            try:
                converted = np.asarray(value, dtype=dtype)
            except (TypeError, ValueError):
                raise _error(TypeError, plugin, "badClass",
                             f"{_label(names, k)} is {type(value).__name__}; pass a number "
                             f"(or a sequence of numbers)") from None
            arrays.append(_fortran(converted))
            continue
        array = _as_data_array(value, names, k, plugin)
        if array.dtype != dtype:
            condition = "complex" if np.issubdtype(array.dtype, np.complexfloating) else "badClass"
            raise _error(TypeError, plugin, condition,
                         f"{_label(names, k)} is {array.dtype} while {_label(names, 0)} is "
                         f"{dtype}; pass {names[k]}.astype({_TYPE_NAME[suffix]})")
        arrays.append(_fortran(array))
    return plugin, arrays


def run(plugin: str, arrays: Sequence[np.ndarray], threads: Any) -> tuple:
    """Runs a plug-in's kernel on prepared inputs and reports as Python does:
    the outputs, an exception for a refused call, RegkernWarning for each
    warning (issued after the call, so a warning turned into an error by a
    filter discards the outputs)."""
    count = thread_count(threads)
    outputs, failure, warned = getattr(_core, plugin)(tuple(arrays), count)
    if failure is not None:
        condition, message = failure
        raise _error(_FAILURE_TYPES.get(condition, ValueError), plugin, condition, message)
    for condition, message in warned:
        warning = RegkernWarning(message)
        warning.identifier = plugin + ":" + condition
        warning.condition = condition
        warnings.warn(warning, stacklevel=3)
    return outputs
