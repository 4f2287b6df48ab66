"""The calls other suites wrote for this one (the format of
tests/cpp/shared_case_io.h): the stand-in host's cases and Octave's random
calls with their outputs, and Octave's refused and warned calls with the
condition and message the plug-in gave. Each is replayed through the
package, whose results must have the same bits."""
from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional

import numpy as np

import regkern

_CLASSES = {6: np.float64, 7: np.float32}
# The function of each family, and the inputs that are settings (range,
# bins, spacing; steps, tol; lower, upper, bins): Python callers pass
# numbers there.
_FUNCTIONS = {"remap_vol": (regkern.remap_vol, (4, 5, 7)),
              "remap_plane": (regkern.remap_plane, (4, 5, 7)),
              "dispinvert_vol": (regkern.dispinvert_vol, ()),
              "dispinvert_plane": (regkern.dispinvert_plane, ()),
              "dispinvert_refine_vol": (regkern.dispinvert_refine_vol, (6, 7)),
              "dispinvert_refine_plane": (regkern.dispinvert_refine_plane, (4, 5)),
              "jointbins": (regkern.jointbins, (2, 3, 4))}


@dataclass
class Case:
    name: str
    plugin: str
    inputs: List[np.ndarray]
    outputs: List[np.ndarray]
    condition: Optional[str] = None
    message: Optional[str] = None


def case_dir(subdir: str = "") -> Path:
    root = os.environ.get("REGKERN_SHARED_CASES")
    if not root:
        raise RuntimeError("REGKERN_SHARED_CASES is not set: run the tests through ctest")
    return Path(root) / subdir


def read_cases(subdir: str = "") -> List[Case]:
    paths = sorted(case_dir(subdir).glob("*.case"))
    if not paths:
        raise RuntimeError(f"no cases in {case_dir(subdir)}: the suite that writes them did not run")
    return [read_case(path) for path in paths]


def read_case(path: Path) -> Case:
    data = path.read_bytes()
    at = 0

    def ints(n):
        nonlocal at
        values = struct.unpack_from(f"<{n}i", data, at)
        at += 4 * n
        return values

    def text():
        nonlocal at
        (n,) = ints(1)
        at += n
        return data[at - n:at].decode()

    def array():
        nonlocal at
        class_id, ndims = ints(2)
        dims = ints(ndims)
        dtype = np.dtype(_CLASSES[class_id])
        count = int(np.prod(dims, dtype=np.int64))
        values = np.frombuffer(data, dtype, count, at)
        at += count * dtype.itemsize
        return values.reshape(dims, order="F").copy(order="F")

    plugin = text()
    n_in, n_out = ints(2)
    inputs = [array() for _ in range(n_in)]
    outputs = [array() for _ in range(n_out)]
    condition = message = None
    if at < len(data):
        condition, message = text(), text()
    return Case(path.stem, plugin, inputs, outputs, condition, message)


def laid_out(array: np.ndarray, layout: str) -> np.ndarray:
    """The same values in another memory layout: "F" as read, "C" a C-ordered
    copy, "strided" a view of every other element of a larger array."""
    if layout == "C":
        return np.ascontiguousarray(array)
    if layout == "strided":
        larger = np.full((2 * array.shape[0],) + array.shape[1:], np.nan, array.dtype, order="F")
        view = larger[::2]
        view[...] = array
        return view
    return array


def reporter(case: Case) -> str:
    """The function a case calls, and the name in its identifiers."""
    return case.plugin.split()[0] if case.plugin.startswith("invert_field") \
        else case.plugin.rsplit("_", 1)[0]


def call_invert_field(case: Case, threads: int = 1, module=regkern, wrap=lambda c: c):
    """invert_field's case ("invert_field tolerance steps"): b's components,
    then the named options' values (a number as a Python number, two as a
    tuple); returns F's components and info as a row (steps, max_residual,
    mean_residual, converged, unrefined), as Octave's suite writes them.
    `module` is regkern or regkern.chunked, b's components passed through
    `wrap`."""
    if " " not in case.plugin and case.plugin != "invert_field":
        # a compiled call's case (invert_field_vol_f64 ...): b's components,
        # then kernel, steps, tolerance, method (0, 1) and threads
        count = 2 if "plane" in case.plugin else 3
        kernel, steps, tolerance, method, _ = case.inputs[count:]
        F, info = module.invert_field(
            [wrap(c) for c in case.inputs[:count]], kernel, float(steps.reshape(-1)[0]),
            float(tolerance.reshape(-1)[0]),
            method="newton" if method.reshape(-1)[0] == 1 else "fixed", threads=threads)
        summary = [info[k] for k in ("steps", "max_residual", "mean_residual", "converged",
                                     "unrefined")]
        return list(F) + [np.asfortranarray([summary], dtype=np.float64)]
    names = case.plugin.split()[1:]
    count = len(case.inputs) - len(names)
    options = {}
    for name, value in zip(names, case.inputs[count:]):
        flat = [float(v) for v in value.reshape(-1, order="F")]
        options[name] = flat[0] if len(flat) == 1 else value if name == "kernel" else tuple(flat)
    options.setdefault("threads", threads)
    F, info = module.invert_field([wrap(c) for c in case.inputs[:count]], **options)
    summary = [info[k] for k in ("steps", "max_residual", "mean_residual", "converged", "unrefined")]
    return list(F) + [np.asfortranarray([summary], dtype=np.float64)]


def call(case: Case, threads: int = 1, layout: str = "F"):
    """The case's call through the package: settings as Python numbers (or a
    list for the range), arrays in the given layout."""
    if case.plugin.startswith("invert_field"):
        return call_invert_field(case, threads)
    function, settings = _FUNCTIONS[case.plugin.rsplit("_", 1)[0]]
    values = []
    for k, value in enumerate(case.inputs):
        if k in settings and value.size == 1:
            values.append(float(value.reshape(-1)[0]))
        elif k in settings and value.size == 2:
            values.append([float(v) for v in value.reshape(-1, order="F")])
        else:
            values.append(laid_out(value, layout))
    return function(*values, threads=threads)


def bits(array: np.ndarray) -> bytes:
    return np.asfortranarray(array).tobytes(order="F")


def same_results(expected: List[np.ndarray], actual) -> None:
    """Asserts equal dtypes, shapes (Octave keeps no trailing extents of 1
    beyond the second, NumPy no second one of 1 in a vector) and bits."""
    assert len(actual) == len(expected)
    for k, (want, got) in enumerate(zip(expected, actual)):
        if isinstance(got, int):  # a count (the refinement's steps done)
            got = np.asarray(got, dtype=want.dtype)
        assert got.dtype == want.dtype, f"output {k + 1}"
        assert got.flags.f_contiguous, f"output {k + 1}"
        trim = lambda shape: tuple(np.trim_zeros(np.array(shape) - 1, "b") + 1)
        assert trim(got.shape) == trim(want.shape), f"output {k + 1}: {got.shape} {want.shape}"
        assert bits(got) == bits(want), f"output {k + 1} differs"
