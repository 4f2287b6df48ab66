"""What every regkern function does around its kernel: choose the arithmetic
from the dtype, lay the arrays out as the kernels read them, pick the thread
count, and turn the kernel's failures and warnings into Python's.

The kernels (regkern._core) check every value and shape themselves, with the
same messages as the Octave and MATLAB plug-ins, written here in Python's
notation (python_text); this layer checks only what is Python's own: the
type of each argument (one rule for every function, below), and the threads
keyword.

The rule for every argument of every function:
  - images, fields, windows and kernels are NumPy arrays (or anything
    np.asarray reads: lists, PIL images, numbers) of the first input's
    dtype; a Python number stands for a 1-element array of it.
  - settings (range, bins, spacing, lower, upper, steps, tol) are real
    numbers (a range two of them), converted to that dtype; range must be
    (min, max), two numbers.
  - refused with TypeError and the condition badClass: a bool (True is not
    taken for 1), a str or bytes (Octave refuses char alike), None, or an
    array of any of them; a setting of more than one number (a range of
    more than two); complex values anywhere give the condition complex.
  - a NumPy masked array whose mask hides any element is refused
    (badClass): the kernels would read the hidden values. Pass
    a.filled(np.nan) (a NaN counts nowhere) or index the images with the
    mask. A masked array that hides nothing is read as its data.
  - a 1-D window or kernel of more than one element for an image or field
    of two or more axes (np.ones(21) for a plane, read as a 21 x 1 column;
    Octave's ones(21) is 21 x 21) is refused with ValueError and the
    condition missingAxes. A 2-D window for a volume is one slice deep, as
    in Octave.
"""
from __future__ import annotations

import numbers
import os
import re
import sys
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

# The kernels' messages write arrays, intervals and fixes as Octave does;
# Python callers read them in NumPy's notation. Each entry rewrites one
# form wherever it appears (tests/python/test_bad_inputs.py checks that no
# Octave form is left in any message its tables produce).
_NUMBER = r"-?(?:\d+(?:\.\d*)?(?:e[-+]?\d+)?|Inf|NaN)"
_OCTAVE_NOTATION = [
    # e.g. ones(9, 9, 9)
    (re.compile(r"(?<![\w.])ones\(([\d, ]+)\)"), r"np.ones((\1))"),
    # the scaling of integer intensities
    (re.compile(r"single\(im2double\((\w+)\)\)"),
     r"skimage.util.img_as_float32(\1) or \1 / np.float32(255)"),
    (re.compile(r"(?<![\w.])im2double\((\w+)\)"), r"skimage.util.img_as_float(\1) or \1 / 255.0"),
    # intervals: [min max], [0 1], [lower, upper] = [0, 1]
    (re.compile(r"\[min max\]"), "(min, max)"),
    (re.compile(r"\[lower, upper\] = \[(" + _NUMBER + r"), (" + _NUMBER + r")\]"),
     r"(lower, upper) = (\1, \2)"),
    (re.compile(r"\[(" + _NUMBER + r") (" + _NUMBER + r")\]"), r"(\1, \2)"),
    (re.compile(r"\bInf\b"), "inf"),
    (re.compile(r"\bNaN\b"), "nan"),
]


def python_text(message: str) -> str:
    """A kernel's message in Python's notation: np.ones((9, 9)) for
    ones(9, 9), (0, 1) for [0 1], skimage's img_as_float for im2double."""
    for pattern, replacement in _OCTAVE_NOTATION:
        message = pattern.sub(replacement, message)
    return message


def _error(kind: type, plugin: str, condition: str, message: str) -> Exception:
    error = kind(message)
    error.identifier = plugin + ":" + condition
    error.condition = condition
    return error


def thread_count(threads: Any, plugin: str) -> float:
    """The kernels' thread count: `threads`, a whole number of at least 1
    (2.0 as well as 2), or None for the cores this process may use."""
    if threads is None:
        if hasattr(os, "sched_getaffinity"):
            return float(len(os.sched_getaffinity(0)))
        return float(os.cpu_count() or 1)
    fix = "pass a whole number of at least 1, or None for every core this process may use"
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Real):
        raise _error(TypeError, plugin, "badClass",
                     f"threads is {type(threads).__name__} ({threads!r}); {fix}")
    if not (threads >= 1 and float(threads).is_integer()):
        raise _error(ValueError, plugin, "badThreads", f"threads is {threads!r}; {fix}")
    return float(threads)


def _label(names: Sequence[str], k: int) -> str:
    return f"{names[k]} (input {k + 1})"


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _refuse_unreadable(value: Any, names: Sequence[str], k: int, plugin: str,
                       setting: bool) -> None:
    """Refuses what no rule converts to numbers: bools, strings, None,
    complex values and masked arrays that hide elements."""
    # The calls that pass: plain float arrays and Python numbers, at once.
    if (type(value) is np.ndarray and value.dtype.kind == "f") or type(value) in (int, float):
        return
    label = _label(names, k)
    wanted = "numbers" if setting and names[k] == "range" else "a number" if setting else \
        "a NumPy array of floating-point numbers"
    if value is None:
        raise _error(TypeError, plugin, "badClass", f"{label} is None; pass {wanted}")
    if isinstance(value, (str, bytes)):
        raise _error(TypeError, plugin, "badClass",
                     f"{label} is the {type(value).__name__} {value!r}; pass {wanted}, "
                     f"not a string")
    hidden = int(np.ma.count_masked(value)) if isinstance(value, np.ma.MaskedArray) else 0
    if hidden:
        raise _error(TypeError, plugin, "badClass",
                     f"{label} is a masked array whose mask hides {hidden} "
                     f"element{'s' * (hidden > 1)}, which the kernels would read; pass "
                     f"{names[k]}.filled(np.nan) (a NaN counts nowhere), or index the images "
                     f"with the mask")
    array = value if isinstance(value, np.ndarray) else None
    if array is None:
        try:
            array = np.asarray(value)
        except Exception:
            raise _error(TypeError, plugin, "badClass",
                         f"{label} is {type(value).__name__}; pass {wanted}") from None
    if array.dtype.kind == "c":
        raise _error(TypeError, plugin, "complex",
                     f"{label} is {array.dtype}; pass {names[k]}.real")
    # A bool array as an image or window gets the dtype's advice (astype).
    if isinstance(value, (bool, np.bool_)) or (setting and array.dtype == np.bool_):
        raise _error(TypeError, plugin, "badClass",
                     f"{label} is bool ({value!r}); pass {wanted} (True is not taken for 1)")
    if array.dtype.kind in "US":
        raise _error(TypeError, plugin, "badClass",
                     f"{label} holds strings, {value!r}; pass {wanted}, not strings")


def _as_data_array(value: Any, names: Sequence[str], k: int, plugin: str) -> np.ndarray:
    """An image, field, window or kernel as an ndarray, without converting its
    dtype: a Python number stands for a 1-element array of the call's dtype
    (the caller converts it)."""
    _refuse_unreadable(value, names, k, plugin, setting=False)
    if isinstance(value, np.ma.MaskedArray):
        return np.ma.getdata(value)
    return value if isinstance(value, np.ndarray) else np.asarray(value)


def _setting(value: Any, names: Sequence[str], k: int, plugin: str, dtype: np.dtype) -> np.ndarray:
    """A setting as an array of the call's dtype: a real number, or for the
    range a sequence of them (the kernel checks that it holds two)."""
    _refuse_unreadable(value, names, k, plugin, setting=True)
    if isinstance(value, np.ma.MaskedArray):
        value = np.ma.getdata(value)
    for element in (value if isinstance(value, (list, tuple)) else ()):
        _refuse_unreadable(element, names, k, plugin, setting=True)
    try:
        converted = np.asarray(value, dtype=dtype)
    except (TypeError, ValueError):
        raise _error(TypeError, plugin, "badClass",
                     f"{_label(names, k)} is {type(value).__name__}; pass "
                     f"{'numbers' if names[k] == 'range' else 'a number'}") from None
    if names[k] != "range" and converted.size > 1:
        raise _error(TypeError, plugin, "badClass",
                     f"{_label(names, k)} holds {converted.size} numbers; pass one number")
    return converted


def _fortran(array: np.ndarray) -> np.ndarray:
    # Aligned and column-major, as the kernels read a[x, y, z]: a Fortran-
    # ordered array passes as it is, any other layout (or one at an address
    # the element type does not divide, e.g. np.frombuffer at an odd offset)
    # is copied once.
    return np.require(array, requirements=("F_CONTIGUOUS", "ALIGNED"))


def _conversion(names: Sequence[str], k: int, value: Any, type_name: str) -> str:
    # An ndarray has .astype; a list, a PIL image or a number has not.
    if isinstance(value, np.ndarray):
        return f"{names[k]}.astype({type_name})"
    return f"np.asarray({names[k]}, dtype={type_name})"


def _described(value: Any, array: np.ndarray) -> str:
    if isinstance(value, np.ndarray):
        return str(array.dtype)
    return f"a {type(value).__name__} of {array.dtype} values"


def prepare(family: str, precisions: Sequence[str], names: Sequence[str],
            values: Sequence[Any], settings: Sequence[int],
            windows: Sequence[int] = (), dims: int = 3) -> Tuple[str, list]:
    """The plug-in a call runs (family + suffix) and its inputs, each an
    aligned Fortran-ordered ndarray of the plug-in's dtype.

    The first input's dtype chooses the arithmetic; every other array must
    have it too. Settings (the indices in `settings`: range, bins, bounds,
    spacing) and Python numbers are converted to it, as the plug-ins' users
    write single(8) in Octave. The arrays at the indices in `windows`
    (weights, kernel) may not be 1-D when the first input has two or more
    of the `dims` axes the plug-in reads: a 2-D window for a volume is a
    window one slice deep, as in Octave, but a 1-D one can only be a slip
    for a square or cube (np.ones(21) for Octave's ones(21))."""
    first_value = values[0]
    if _is_number(first_value) and not isinstance(first_value, np.generic):
        first_value = np.float64(first_value)  # a NumPy scalar keeps its own dtype
    plugin = family + "_f64"
    first = _as_data_array(first_value, names, 0, plugin)
    suffix = _SUFFIX.get(first.dtype)
    if suffix not in precisions:
        why = "" if suffix is None else f" and {family} has no {first.dtype} arithmetic"
        fixes = [_conversion(names, 0, first_value, "np.float64")]
        if "f32" in precisions:
            fixes.append(_conversion(names, 0, first_value, "np.float32"))
        raise _error(TypeError, plugin, "badClass",
                     f"{_label(names, 0)} is {_described(first_value, first)}{why}; pass "
                     + " or ".join(fixes))
    plugin = family + "_" + suffix
    dtype = first.dtype
    arrays = [_fortran(first)]
    axes = min(first.ndim, dims)
    for k, value in enumerate(values[1:], start=1):
        if k in settings:
            arrays.append(_fortran(_setting(value, names, k, plugin, dtype)))
            continue
        if _is_number(value):
            arrays.append(_fortran(np.asarray(value, dtype=dtype)))
            continue
        array = _as_data_array(value, names, k, plugin)
        if array.dtype != dtype:
            raise _error(TypeError, plugin, "badClass",
                         f"{_label(names, k)} is {_described(value, array)} while "
                         f"{_label(names, 0)} is {dtype}; pass "
                         f"{_conversion(names, k, value, _TYPE_NAME[suffix])}")
        if k in windows and array.size > 1 and array.ndim == 1 and axes > 1:
            shape = (array.shape + (1,) * axes)[:axes]
            raise _error(ValueError, plugin, "missingAxes",
                         f"{_label(names, k)} has shape {array.shape}, fewer axes than "
                         f"{_label(names, 0)}'s {first.shape}: it would be read as "
                         f"{shape}; pass {names[k]} with {axes} axes, e.g. "
                         f"np.ones({(array.shape[0],) * axes}) for a cube window, or "
                         f"{names[k]}.reshape({shape}) for what it is read as")
        arrays.append(_fortran(array))
    return plugin, arrays


def _caller_stacklevel() -> int:
    """The stacklevel of a warnings.warn in run() that names the first frame
    outside this package: the caller's line, however deep the call went in
    regkern (invert_field calls the plug-ins in turn), so that warning
    filters by module and -W error see the caller's code."""
    package = __name__.rsplit(".", 1)[0]
    frame, level = sys._getframe(1), 1  # run(), whose warnings.warn is level 1
    while frame is not None:
        name = frame.f_globals.get("__name__", "")
        if name != package and not name.startswith(package + "."):
            return level
        frame, level = frame.f_back, level + 1
    return level


def run(plugin: str, arrays: Sequence[np.ndarray], threads: Any) -> tuple:
    """Runs a plug-in's kernel on prepared inputs and reports as Python does:
    the outputs, an exception for a refused call, RegkernWarning for each
    warning (issued after the call, so a warning turned into an error by a
    filter discards the outputs)."""
    count = thread_count(threads, plugin)
    outputs, failure, warned = getattr(_core, plugin)(tuple(arrays), count)
    if failure is not None:
        condition, message = failure
        raise _error(_FAILURE_TYPES.get(condition, ValueError), plugin, condition,
                     python_text(message))
    for condition, message in warned:
        warning = RegkernWarning(python_text(message))
        warning.identifier = plugin + ":" + condition
        warning.condition = condition
        warnings.warn(warning, stacklevel=_caller_stacklevel())
    return outputs
