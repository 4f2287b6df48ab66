"""regkern: the compute kernels of image registration's inner loops, for NumPy.

The same kernels, and the same bits, as the regkern plug-ins for GNU Octave
and MATLAB:

    remap_vol, remap_plane        local intensity remapping through block-wise
                                  joint histograms
    dispinvert_vol,               inversion of a backward displacement field
    dispinvert_plane              by forward splatting
    dispinvert_refine_vol,        refinement of a forward field toward the
    dispinvert_refine_plane       exact inverse
    invert_field                  the inverse in one call: splat, then refine
    jointbins                     joint intensity histogram of two images
    mutual_information            mutual information from jointbins' outputs

Axes are as in Octave: a[x, y, z], x the first index, displacements in voxels
along those axes. Fortran-ordered arrays are read without a copy; any other
layout is copied once (pass ``a.T`` for an array another library returns in
[z, y, x] order). The dtype of the first input chooses the arithmetic
(float64, or float32 where the toolbox has it); outputs are new
Fortran-ordered arrays of that dtype, shaped as the first input's first
two or three axes: a 2-D array given to a volume function (remap_vol,
dispinvert_vol, the refinement) is one slice deep and gives 2-D outputs.

Arguments follow one rule in every function (regkern._front says it in
full): settings are real numbers, a range is two of them; a bool, a
string, None or a masked array that hides elements is refused with
TypeError (identifier "<plug-in>:badClass"), complex values anywhere with
the condition "complex"; a window or kernel with fewer axes than the image
(np.ones(21) for a plane: a 1-D one for an image of two or more axes)
with ValueError ("<plug-in>:missingAxes").
Messages write arrays and intervals as NumPy does (np.ones((9, 9)), (0, 1)).

Every function takes ``threads`` (default: the cores this process may use);
the result does not depend on it. The interpreter lock is released while the
kernel runs. A refused call raises TypeError (dtype), ValueError (values and
shapes), MemoryError (outOfMemory) or RuntimeError (threadStart), with the
plug-ins' message; the exception's ``identifier`` is the plug-in's,
e.g. "remap_vol_f64:badBins". Calls that can only be a mistake are carried
out with a RegkernWarning, attributed to the caller's line (warning
filters by module and ``-W error`` apply).
"""
import warnings
from typing import Optional, Sequence, Tuple, Union

import numpy as np

from . import _front
from ._front import RegkernWarning

__all__ = ["remap_vol", "remap_plane", "dispinvert_vol", "dispinvert_plane",
           "dispinvert_refine_vol", "dispinvert_refine_plane", "invert_field", "jointbins",
           "mutual_information", "RegkernWarning", "__version__"]


def _version() -> str:
    # One version, package/DESCRIPTION's: the build writes it beside the
    # module (build/python/regkern/_version.py), pip into the metadata.
    try:
        from ._version import version
        return version
    except ImportError:
        from importlib.metadata import version as installed
        return installed("regkern")


__version__ = _version()

ArrayLike = Union[np.ndarray, float, Sequence[float]]
Number = Union[float, int]

_REMAP_NAMES = ("A", "B", "C", "D", "range", "bins", "weights", "spacing")
_REMAP_SETTINGS = (4, 5, 7)


def remap_vol(A: np.ndarray, B: np.ndarray, C: np.ndarray, D: np.ndarray,
              range: Sequence[Number], bins: Number, weights: ArrayLike, spacing: Number,
              *, threads: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Local intensity remapping of volumes through block-wise joint histograms.

    out_a, out_b = remap_vol(A, B, C, D, range, bins, weights, spacing, threads=None)

    Lays a grid of cubic blocks of edge `spacing` voxels over the volumes. For
    every block it gathers two weighted joint histograms in a window centred
    on the block, A against D and C against B (each sample shared bilinearly
    between four bins and weighted by `weights` at its window position), and
    maps every voxel of the block to the partner intensity seen most often
    with its own. out_a is A expressed in D's intensities, out_b is B
    expressed in C's. The block layers along z are shared among `threads`
    worker threads; the result is the same for every thread count.

    Inputs (A's dtype, float64 or float32, chooses the arithmetic; B, C, D
    and weights must have it too; the settings are converted to it):
      A        volume of intensities, A[x, y, z], shape (sx, sy, sz). Sets
               the shape of the outputs and of the block grid; a 2-D array is
               one slice deep.
      B        intensities, at least A.size elements, read in A's layout
               (column-major). This is the image out_b remaps.
      C        as B: the intensities out_b is expressed in.
      D        as B: the intensities out_a is expressed in.
      range    (min, max) in intensities, finite, max > min: the interval the
               bins cover, for all four images. A value outside it counts in
               the first or last bin; a NaN sample counts nowhere.
      bins     a whole number from 2 to 46340: bins per histogram axis.
      weights  window weights, shape (wx, wy, wz) (unitless). weights[kx, ky,
               kz] weighs the voxel at that position of the window, whose
               element (w-1)//2 (0-based) sits on the block centre.
      spacing  the block edge in voxels, finite, > 0. A whole number makes the
               blocks tile the volume.
      threads  worker threads (default: the cores this process may use).

    Outputs: two new Fortran-ordered arrays of A's dtype and shape.
      out_a    A in D's intensities. Every value is min + k*(max-min)/(bins-1)
               for a bin k from 0 to bins-1; a NaN voxel of A stays NaN.
      out_b    B in C's intensities, on the same levels.

    Blocks next to the far faces have their centres clamped to the last
    voxel, so their regions overlap the block before them; a voxel keeps the
    value of the last block (in z, y, x order) whose region holds it.

    Errors (the exception's ``identifier`` is "remap_vol_f64:<condition>" or
    "remap_vol_f32:<condition>"; the message names the input as "bins
    (input 6)", says what the call passed and how to fix it):
      TypeError    badClass (a dtype other than float64/float32, or an array
                   whose dtype differs from A's), complex
      ValueError   sizeMismatch (B, C or D smaller than A), badRange, badBins,
                   badSpacing, empty (bins or spacing), tooLarge (more than
                   2^31-1 elements)
      MemoryError  outOfMemory (the worker threads' histograms)
      RuntimeError threadStart

    Warnings (RegkernWarning; the call is carried out all the same):
      zeroWeights  weights is empty or all zero: every voxel maps to min
      extraSlices  A, B, C, D or weights holds more than one volume (an axis
                   beyond the third longer than 1): only the first is used
      partnerShape B, C or D has other extents than A although it holds
                   enough elements: read in A's layout, the images do not line
                   up (most often a transposed image)
      outOfRange   more than half of the finite values of A, B, C or D lie
                   outside range: they all count in the edge bins
      narrowData   the values of A, B, C or D, each clamped to range, span
                   more than nothing but less than 1/32 of it (images
                   scaled to (0, 1) against (0, 255)): they fall in a
                   sliver of the bins and the outputs are nearly constant;
                   the message gives their least and greatest value and a
                   range that fits. An image of one value is left alone.

    ValueError missingAxes: 1-D weights of more than one element for an A of
    two or more axes (np.ones(9) would be a 9 x 1 x 1 window, never meant;
    a 2-D window for a volume is one slice deep, as in Octave).

    Example:
      x, y, z = np.meshgrid(np.arange(1, 25), np.arange(1, 25), np.arange(1, 17),
                            indexing="ij")
      A = np.asfortranarray((x + y + z) / 64.0)   # intensities in (0, 1)
      D = 1 - A ** 2                              # another contrast
      out_a, out_b = regkern.remap_vol(A, D, A, D, (0, 1), 32, np.ones((9, 9, 9)), 5)
      abs(out_a - D).max()                        # one bin width, 1/31
    """
    plugin, arrays = _front.prepare("remap_vol", ("f64", "f32"), _REMAP_NAMES,
                                    (A, B, C, D, range, bins, weights, spacing),
                                    _REMAP_SETTINGS, windows=(6,))
    return _front.run(plugin, arrays, threads)


def remap_plane(A: np.ndarray, B: np.ndarray, C: np.ndarray, D: np.ndarray,
                range: Sequence[Number], bins: Number, weights: ArrayLike, spacing: Number,
                *, threads: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Local intensity remapping of 2-D images through block-wise joint histograms.

    out_a, out_b = remap_plane(A, B, C, D, range, bins, weights, spacing, threads=None)

    The 2-D member of the remapping family (float64 only): as remap_vol with
    square blocks of edge `spacing` pixels over images A[x, y] of shape
    (sx, sy), a window `weights` of shape (wx, wy), and the block rows along
    y shared among `threads` worker threads. Of a 3-D array only the first
    plane is used (with an extraSlices warning).

    Inputs and outputs: as remap_vol. A float32 A raises TypeError: pass
    A.astype(np.float64).

    Errors and warnings: as remap_vol, with identifiers
    "remap_plane_f64:<condition>":
      TypeError    badClass, complex
      ValueError   sizeMismatch, badRange, badBins, badSpacing, empty, tooLarge,
                   missingAxes (a 1-D weights, np.ones(21): pass
                   np.ones((21, 21)))
      MemoryError  outOfMemory
      RuntimeError threadStart
      RegkernWarning  zeroWeights, extraSlices, partnerShape, outOfRange,
                      narrowData

    Example:
      x, y = np.meshgrid(np.arange(1, 65), np.arange(1, 49), indexing="ij")
      A = np.asfortranarray((x + y) / 128.0)
      D = 1 - A ** 2
      out_a, out_b = regkern.remap_plane(A, D, A, D, (0, 1), 32, np.ones((9, 9)), 5)
    """
    plugin, arrays = _front.prepare("remap_plane", ("f64",), _REMAP_NAMES,
                                    (A, B, C, D, range, bins, weights, spacing),
                                    _REMAP_SETTINGS, windows=(6,), dims=2)
    return _front.run(plugin, arrays, threads)


def dispinvert_vol(bx: np.ndarray, by: np.ndarray, bz: np.ndarray, H: ArrayLike,
                   *, threads: Optional[int] = None
                   ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Invert a 3-D backward displacement field by forward splatting.

    Fx, Fy, Fz = dispinvert_vol(bx, by, bz, H, threads=None)

    Turns the backward displacement field b = (bx, by, bz) into the forward
    field F on the same voxel grid. Voxel p corresponds to the point
    q = p + b(p): the value -b(p) is carried to q, shared among the eight
    voxels around q by trilinear weights and spread again by the kernel H.
    Values and weights are summed per voxel, and each voxel's sum is divided
    by its summed weight plus 1e-8. Where samples are dense, q + F(q) comes
    back to p; a voxel that no share reaches gets F = 0. Runs on `threads`
    threads; the result does not depend on their number.

    Coordinates: x is the first index, y the second, z the third;
    displacements are in voxels along those axes, so voxel [i, j, k] maps to
    (i + bx[i, j, k], j + by[i, j, k], k + bz[i, j, k]) in the same indices.

    Inputs (bx's dtype, float64 or float32, chooses the arithmetic; by, bz
    and H must have it too; a number for H is converted to it):
      bx       backward displacement along x, in voxels, shape (sx, sy, sz):
               its first three axes set the grid (missing axes read as 1).
      by, bz   backward displacement along y and z, in voxels: at least
               sx*sy*sz elements each, read in bx's layout (column-major).
      H        splatting kernel, shape (Kx, Ky, Kz) (unitless, used as given:
               not normalised, its scale cancels in the division). H[i, j, k]
               acts at the offset (i - Kx//2, j - Ky//2, k - Kz//2) voxels, so
               odd extents are centred. H = 1 does no spreading; a kernel with
               a zero extent gives F = 0.
      threads  worker threads (default: the cores this process may use).

    Outputs: new Fortran-ordered arrays of bx's dtype and of bx's shape (its
    first three axes; a 2-D bx gives 2-D outputs).
      Fx, Fy, Fz  forward displacement along x, y and z, in voxels.

    Shares that land outside the grid are dropped. A voxel whose splat point
    is not finite, or lies beyond 2^31 voxels, contributes nothing.

    Errors (``identifier`` "dispinvert_vol_f64:<condition>" or
    "dispinvert_vol_f32:<condition>", messages naming the input as
    "H (input 4)"):
      TypeError    badClass, complex
      ValueError   sizeMismatch (by or bz smaller than the grid, or H smaller
                   than its first three axes give), tooLarge, missingAxes (a 1-D
                   H of more than one element for a bx of 2 or more axes)
      MemoryError  outOfMemory (the per-voxel weight sums)
      RuntimeError threadStart

    Warnings (RegkernWarning):
      zeroKernel   H is empty or all zero: every output is 0
      extraSlices  bx, by, bz or H holds more than one volume: only the first
                   is used
      partnerShape by or bz has other extents than bx although it holds
                   enough elements (by.T, np.concatenate((by, by))): read in
                   bx's layout, its displacements land on the wrong points

    Example:
      bx = np.full((8, 8, 8), 2.0, order="F")    # every voxel looks 2 along x
      o = np.zeros((8, 8, 8), order="F")
      Fx, Fy, Fz = regkern.dispinvert_vol(bx, o, o, 1)
      Fx[:, 3, 3]                                # 0 0 -2 -2 -2 -2 -2 -2 (-2/(1+1e-8))
    """
    plugin, arrays = _front.prepare("dispinvert_vol", ("f64", "f32"), ("bx", "by", "bz", "H"),
                                    (bx, by, bz, H), (), windows=(3,))
    return _front.run(plugin, arrays, threads)


def dispinvert_plane(bx: np.ndarray, by: np.ndarray, H: ArrayLike,
                     *, threads: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Invert a 2-D backward displacement field by forward splatting.

    Fx, Fy = dispinvert_plane(bx, by, H, threads=None)

    The 2-D member of the field inversion (float64 only): as dispinvert_vol
    on a grid bx[x, y] of shape (sx, sy), with a kernel H of shape (Kx, Ky)
    and bilinear weights; the rows along y are shared among `threads`
    threads. Of a 3-D array only the first plane is used (with an
    extraSlices warning).

    Inputs and outputs: as dispinvert_vol. A float32 bx raises TypeError:
    pass bx.astype(np.float64).

    Errors and warnings: as dispinvert_vol, with identifiers
    "dispinvert_plane_f64:<condition>" and H named "H (input 3)":
      TypeError    badClass, complex
      ValueError   sizeMismatch, tooLarge, missingAxes
      MemoryError  outOfMemory
      RuntimeError threadStart
      RegkernWarning  zeroKernel, extraSlices, partnerShape

    Example:
      bx = np.full((8, 8), 2.0, order="F")
      Fx, Fy = regkern.dispinvert_plane(bx, np.zeros((8, 8), order="F"), 1)
    """
    plugin, arrays = _front.prepare("dispinvert_plane", ("f64",), ("bx", "by", "H"),
                                    (bx, by, H), (), windows=(2,), dims=2)
    return _front.run(plugin, arrays, threads)


def _refined(outputs: tuple) -> tuple:
    # the step count as a number, not a 1-by-1 array
    return outputs[:-1] + (int(outputs[-1].reshape(-1)[0]),)


def dispinvert_refine_vol(bx: np.ndarray, by: np.ndarray, bz: np.ndarray, Fx0: np.ndarray,
                          Fy0: np.ndarray, Fz0: np.ndarray, steps: int, tol: Number,
                          *, threads: Optional[int] = None
                          ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int]:
    """Refine a 3-D forward field toward the exact inverse of a backward field.

    Fx, Fy, Fz, r, done = dispinvert_refine_vol(bx, by, bz, Fx0, Fy0, Fz0, steps, tol,
                                                threads=None)

    Improves a forward field F, such as the one dispinvert_vol gives, until
    q + F(q) + b(q + F(q)) = q holds at every voxel q: each step replaces F by
    F_new(q) = -b(q + F(q)), b sampled trilinearly. Every voxel moves on from
    its own F alone (Jacobi steps), so the result does not depend on the
    number of threads. The refinement stops after `steps` steps, or as soon
    as the largest residual r(q) = |F(q) + b(q + F(q))| (Euclidean, in
    voxels) over the grid is at most `tol`. Every coordinate of q + F(q) is
    clamped to the grid's box before b is interpolated. A voxel whose
    residual is not finite keeps its value (its r is NaN or Inf) and takes
    no part in the stopping rule.

    Inputs (bx's dtype, float64 or float32, chooses the arithmetic; the
    other field components must have it too):
      bx, by, bz     backward displacement, in voxels, shape (sx, sy, sz):
                     bx's first three axes set the grid.
      Fx0, Fy0, Fz0  the starting forward field, on the same grid.
      steps          the most steps to take, a whole number from 0 to 1000
                     (0 measures the residual of F0).
      tol            the largest residual to stop at, in voxels (finite, >= 0).
      threads        worker threads (default: the cores this process may use).

    Outputs: Fx, Fy, Fz (the refined field) and r (its residual at every
    voxel), new Fortran-ordered arrays of bx's dtype and of bx's shape (its
    first three axes; a 2-D bx gives 2-D outputs); done, the number of steps
    taken (an int).

    Errors (``identifier`` "dispinvert_refine_vol_f64:<condition>" or
    "..._f32:<condition>"):
      TypeError    badClass, complex
      ValueError   sizeMismatch (a component's first three axes are not bx's),
                   empty, tooLarge, badSteps, badTolerance
      MemoryError  outOfMemory
      RuntimeError threadStart

    Warnings (RegkernWarning):
      notConverged  steps > 0 and the largest residual is still above tol
      extraSlices   a field component holds more than one volume

    Example:
      x = np.arange(16.0)[:, None, None] + np.zeros((16, 16, 12))
      bx = np.asfortranarray(0.8 * np.sin(2 * np.pi * x / 16))
      o = np.zeros_like(bx, order="F")
      F = regkern.dispinvert_vol(bx, o, o, 1)
      Fx, Fy, Fz, r, done = regkern.dispinvert_refine_vol(bx, o, o, *F, 20, 1e-6)
      done, r.max()                              # about 10 steps, at most 1e-6
    """
    plugin, arrays = _front.prepare("dispinvert_refine_vol", ("f64", "f32"),
                                    ("bx", "by", "bz", "Fx0", "Fy0", "Fz0", "steps", "tol"),
                                    (bx, by, bz, Fx0, Fy0, Fz0, steps, tol), (6, 7))
    return _refined(_front.run(plugin, arrays, threads))


def dispinvert_refine_plane(bx: np.ndarray, by: np.ndarray, Fx0: np.ndarray, Fy0: np.ndarray,
                            steps: int, tol: Number, *, threads: Optional[int] = None
                            ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, int]:
    """Refine a 2-D forward field toward the exact inverse of a backward field.

    Fx, Fy, r, done = dispinvert_refine_plane(bx, by, Fx0, Fy0, steps, tol, threads=None)

    The 2-D member of the refinement (float64 only): as dispinvert_refine_vol
    on a grid bx[x, y] of shape (sx, sy), b sampled bilinearly. A float32 bx
    raises TypeError: pass bx.astype(np.float64).

    Errors and warnings: as dispinvert_refine_vol, with identifiers
    "dispinvert_refine_plane_f64:<condition>" and steps named "steps (input 5)":
      TypeError    badClass, complex
      ValueError   sizeMismatch, empty, tooLarge, badSteps, badTolerance
      MemoryError  outOfMemory
      RuntimeError threadStart
      RegkernWarning  notConverged, extraSlices
    """
    plugin, arrays = _front.prepare("dispinvert_refine_plane", ("f64",),
                                    ("bx", "by", "Fx0", "Fy0", "steps", "tol"),
                                    (bx, by, Fx0, Fy0, steps, tol), (4, 5))
    return _refined(_front.run(plugin, arrays, threads))


_INVERT_OPTIONS = ("kernel", "steps", "tolerance", "method", "threads")
_INVERT_EXAMPLES = {"kernel": "1", "steps": "20", "tolerance": "1e-4", "threads": "2"}


def _invert_error(kind: type, condition: str, message: str) -> Exception:
    return _front._error(kind, "invert_field", condition, message)


def _invert_option(value, name: str, dtype: np.dtype) -> np.ndarray:
    """An option's value as an array of b's dtype, for the core to check its
    count and range; what is not a number (a string, a bool, None) is
    refused here, naming the option."""
    if isinstance(value, (str, bytes, bool, np.bool_)) or value is None:
        raise _invert_error(TypeError, "badClass",
                            f"{name} is {type(value).__name__}; pass a number, "
                            f"e.g. {_INVERT_EXAMPLES[name]}")
    try:
        array = np.asarray(value)
    except Exception:
        array = np.asarray(None)
    if np.issubdtype(array.dtype, np.complexfloating):
        raise _invert_error(TypeError, "complex", f"{name} is {array.dtype}; pass {name}.real")
    if array.dtype.kind not in "iuf":
        raise _invert_error(TypeError, "badClass",
                            f"{name} is {type(value).__name__} of {array.dtype}; pass a number "
                            f"(or, for kernel, an array of numbers), e.g. {_INVERT_EXAMPLES[name]}")
    return _front._fortran(array.astype(dtype, copy=False))


def _invert_prepare(b, kernel, steps, tolerance, method, threads, H):
    """invert_field's inputs as its compiled call takes them: (suffix, plane,
    b's components, options), refusing what is not a number before the
    core's checks. A float32 plane becomes a volume one slice deep. The
    chunked invert_field prepares stand-ins of its field with it."""
    if H is not None:
        kernel = H
    try:
        b = [np.asarray(c) for c in b]
    except TypeError:
        b = None
    if (b is None or len(b) not in (2, 3)
            or any(c.dtype not in (np.float64, np.float32) or c.dtype != b[0].dtype for c in b)):
        got = ("" if b is None else
               " (" + ", ".join(str(c.dtype) for c in b) + ")")
        raise _invert_error(TypeError, "badField",
                            "b must be (bx, by, bz) or (bx, by), arrays all float64 or all "
                            f"float32{got}; pass [np.asarray(c, dtype=np.float64) for c in b]")
    dtype = b[0].dtype
    if not isinstance(method, str) or method.lower() not in ("fixed", "newton"):
        got = repr(method) if isinstance(method, str) else type(method).__name__
        raise _invert_error(ValueError, "badMethod", f"method is {got}; pass 'newton' or 'fixed'")
    if threads is None:
        threads = int(_front.thread_count(None, "invert_field"))
    values = [kernel, steps, tolerance, 1 if method.lower() == "newton" else 0, threads]
    options = [_invert_option(v, name, dtype) for v, name in zip(values, _INVERT_OPTIONS)]
    plane = len(b) == 2
    if plane and dtype == np.float32:  # no float32 plane: a volume one slice deep
        b.append(np.zeros(b[0].shape, np.float32, order="F"))
    suffix = "plane_f64" if len(b) == 2 else "vol_" + _front._SUFFIX[dtype]
    return suffix, plane, b, options


def _invert_report(failure, warned):
    """Raises invert_field's failure and issues its warnings, in Python's
    notation, as "invert_field:<condition>"."""
    if failure is not None:
        condition, message = failure
        raise _invert_error(_front._FAILURE_TYPES.get(condition, ValueError), condition,
                            _front.python_text(message))
    for condition, message in warned:
        warning = RegkernWarning(_front.python_text(message))
        warning.identifier, warning.condition = "invert_field:" + condition, condition
        warnings.warn(warning, stacklevel=_front._caller_stacklevel())


def invert_field(b: Sequence[np.ndarray], kernel: ArrayLike = 1, steps: int = 20,
                 tolerance: Number = 1e-4, *, method: str = "newton",
                 threads: Optional[int] = None, H: Optional[ArrayLike] = None
                 ) -> Tuple[Tuple[np.ndarray, ...], dict]:
    """Inverse of a backward displacement field in one call: splat, then refine.

    F, info = invert_field(b, kernel=1, steps=20, tolerance=1e-4, method="newton",
                           threads=None)

    Gives the forward field F of the backward field b = (bx, by, bz) or
    (bx, by): the field with q + F(q) + b(q + F(q)) = q at every grid point
    q. A splat (dispinvert_vol's, with the kernel) gives a first F, accurate
    to about a tenth of a voxel where b is smooth; the refinement then
    repeats its step until the largest residual r(q) = |F(q) + b(q + F(q))|
    is at most `tolerance`, or `steps` steps are taken. Splat, refinement and
    the residual's statistics are one compiled call with no array made in
    between, the one Octave's invert_field makes: the same F and info, bit
    for bit, for every thread count. All components float64 or all float32;
    F has the same form and dtype. A float32 plane is refined as a volume one
    slice deep.

    Options (the names of Octave's invert_field):
      kernel     the splatting kernel (default 1: no spreading); see
                 dispinvert_vol. H= is taken as another name for it.
      steps      the most refinement steps, 0 to 1000 (default 20).
      tolerance  the largest residual to stop at, in voxels (default 1e-4).
      method     "newton" (default): Newton's step F <- F - (I + grad b)^-1
                 (F + b(q + F)), the plain step where I + grad b nearly
                 folds; or "fixed": the fixed point F(q) <- -b(q + F(q)) of
                 dispinvert_refine_vol, its bits after dispinvert_vol's.
      threads    worker threads (default: the cores this process may use).

    info is a dict: steps (int, the refinement steps taken), max_residual
    (the largest finite r of F, 0.0 when none is), mean_residual (the mean of
    the finite r, summed in grid order; NaN when none is finite), converged
    (max_residual <= tolerance and every point refined), unrefined (int:
    grid points whose r is not finite; they keep the splat's value).

    Errors (identifier "invert_field:<condition>", every one before any
    work):
      TypeError    badField (b is not 2 or 3 real arrays of one dtype,
                   float64 or float32), badClass (an option that is not a
                   number), complex
      ValueError   badSteps, badTolerance, badThreads (not one number of its
                   kind: tolerance=(1e-4, 1e-3) is refused), badMethod,
                   sizeMismatch (a component on another grid), empty,
                   tooLarge
      MemoryError  outOfMemory
      RuntimeError threadStart

    Warnings (RegkernWarning, identifier "invert_field:<condition>"):
      notConverged  steps > 0 and the largest residual is still above
                    tolerance
      unrefined     some points' residual is not finite (b or the splat is
                    NaN or infinite there); info["converged"] is False
      zeroKernel, extraSlices  as dispinvert_vol's

    Example:
      x, y, z = np.meshgrid(np.arange(32.0), np.arange(32.0), np.arange(24.0), indexing="ij")
      b = [np.asfortranarray(c) for c in
           (1.5 * np.sin(2 * np.pi * x / 32), np.cos(2 * np.pi * y / 32), 0 * z)]
      F, info = regkern.invert_field(b, tolerance=1e-6)
      info["steps"], info["max_residual"]        # 2 steps, at most 1e-6
    """
    suffix, plane, b, options = _invert_prepare(b, kernel, steps, tolerance, method, threads, H)
    outputs, failure, warned = getattr(_front._core, "invert_field_" + suffix)(
        tuple(_front._fortran(c) for c in b) + tuple(options))
    _invert_report(failure, warned)
    *F, summary = outputs
    if plane:
        F = F[:2]
    s = summary.reshape(-1)
    info = {"steps": int(s[0]), "max_residual": float(s[1]), "mean_residual": float(s[2]),
            "converged": bool(s[3]), "unrefined": int(s[4])}
    return tuple(F), info


def jointbins(image1: np.ndarray, image2: np.ndarray, lower: Number, upper: Number,
              bins: Number, *, threads: Optional[int] = None
              ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Joint intensity histogram of two images, with linear bin sharing.

    joint, h1, h2 = jointbins(image1, image2, lower, upper, bins, threads=None)

    The normalised joint histogram of two images and the histogram of each.
    Every sample v sits at the position bins*(v - lower)/(upper - lower) on
    the bin axis and is shared linearly between its two nearest bins, so a
    pair of samples adds to up to four cells of `joint` with bilinear weights
    that sum to one. All three outputs are divided by the number of samples.
    One pass over the samples, on the calling thread (`threads` is accepted
    for a uniform interface).

    Inputs (image1's dtype, float64 or float32, chooses the arithmetic;
    image2 must have it too; lower, upper and bins are converted to it):
      image1   any shape, N = image1.size elements, intensities.
      image2   intensities, at least N elements: element k pairs with element
               k of image1 in column-major (Fortran) order; extra elements
               are ignored.
      lower    an intensity: position 0, the centre of the first bin.
               Samples below it count wholly in the first bin.
      upper    an intensity: position `bins`, one bin past the last. Samples
               from lower + (B-1)*(upper-lower)/bins up, upper included, count
               wholly in the last bin. upper < lower runs the bins downwards.
      bins     finite, 1 <= bins < 46341. There are B = int(bins) bins per
               axis; the scale uses bins itself, so 4.9 gives 4 bins of width
               (upper - lower)/4.9.

    Outputs: new arrays of image1's dtype.
      joint    shape (B, B), Fortran-ordered. joint[i, j] is the share of the
               samples with image1 in bin i and image2 in bin j; bin i is
               centred on the intensity lower + i*(upper-lower)/bins.
      h1       shape (B,): histogram of image1 (joint.sum(1), up to rounding).
      h2       shape (B,): histogram of image2 (joint.sum(0), up to rounding).

    On finite data each output sums to 1. A NaN sample in either image adds
    nothing but still counts in N. An infinite sample goes wholly to the edge
    bin. An empty image1 gives NaN (0/0) everywhere.

    Errors (``identifier`` "jointbins_f64:<condition>" or
    "jointbins_f32:<condition>", messages naming the input as
    "bins (input 5)"):
      TypeError    badClass, complex
      ValueError   sizeMismatch (image2 smaller than image1), empty, badBins,
                   tooLarge
      MemoryError  outOfMemory (the outputs for this many bins)

    Warnings (RegkernWarning):
      nonFiniteBounds  lower or upper is NaN or infinite
      equalBounds      lower equals upper
      reversedBounds   upper < lower: the histograms come out mirrored
      noSamples        image1 is empty: every output is NaN
      partnerShape     image2 has other extents than image1 although it
                       holds enough elements (most often a transposed image)
      outOfBounds      more than half of the finite values of image1 or
                       image2 lie outside [lower, upper]
      narrowData       the values of image1 or image2, each clamped to
                       [lower, upper], span more than nothing but less than
                       1/32 of it (images scaled to (0, 1) with upper = 255):
                       nearly every sample lands in one cell; the message
                       gives a lower and upper that fit
      manyBins         more than 1024 bins and more than 100 cells
                       (bins x bins) per sample: nearly every cell stays
                       empty while the outputs take gigabytes; the message
                       gives at most sqrt(N) bins

    Example:
      joint, h1, h2 = regkern.jointbins(np.array([1, 6.5]), np.array([3.0, 8]), 0, 8, 4)
      h1                                         # 0.25 0.25 0 0.5
      h2                                         # 0 0.25 0.25 0.5
    """
    plugin, arrays = _front.prepare("jointbins", ("f64", "f32"),
                                    ("image1", "image2", "lower", "upper", "bins"),
                                    (image1, image2, lower, upper, bins), (2, 3, 4))
    return _front.run(plugin, arrays, threads)


def _mi_error(kind: type, condition: str, message: str) -> Exception:
    error = kind(message)
    error.identifier, error.condition = "mutual_information:" + condition, condition
    return error


def mutual_information(joint: ArrayLike, h1: Optional[ArrayLike] = None,
                       h2: Optional[ArrayLike] = None, base: str = "e") -> float:
    """Mutual information of two images from their joint histogram.

    mi = mutual_information(joint, h1=None, h2=None, base="e")

    The mutual information of the two images jointbins binned, from the
    three histograms it returns (as Octave's mutual_information):

      mi = sum over the cells with joint[i, j] > 0 of
           joint[i, j] * log(joint[i, j] / (h1[i] * h2[j]))

    Each histogram is first divided by its own sum, so counts work as well
    as shares, and samples a NaN left out of the histograms (they still
    count in jointbins' N) do not lower the result. 0 when the images are
    independent, up to log(B) when one determines the other.

    Inputs:
      joint   (B, B), non-negative: joint[i, j] for image1 in bin i and
              image2 in bin j (jointbins' first output)
      h1, h2  B elements each, non-negative: the histograms of image1 and
              image2 (jointbins' second and third output); None takes
              joint's row or column sums
      base    "e" (natural logarithm: nats, the default) or "bits" (base 2)

    Output: a float; NaN when a histogram holds NaN (jointbins of empty
    images).

    Errors (``identifier`` "mutual_information:<condition>"):
      TypeError    badClass (not real numbers: complex, bool, strings)
      ValueError   sizeMismatch (joint not square, or h1 or h2 not of B
                   elements), badHistogram (a negative element, or a
                   histogram that sums to 0), badUnit (base neither "e" nor
                   "bits")

    Example:
      joint, h1, h2 = regkern.jointbins(np.array([1, 6.5]), np.array([3.0, 8]), 0, 8, 4)
      regkern.mutual_information(joint, h1, h2)           # log(2) = 0.6931
      regkern.mutual_information(joint, h1, h2, "bits")   # 1.0
    """
    names = ("joint (input 1)", "h1 (input 2)", "h2 (input 3)")
    arrays = []
    for name, value in zip(names, (joint, h1, h2)):
        if value is None:
            arrays.append(None)
            continue
        array = value if isinstance(value, np.ndarray) else np.asarray(value)
        if (array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number)
                or np.issubdtype(array.dtype, np.complexfloating)):
            raise _mi_error(TypeError, "badClass",
                            f"{name} is {array.dtype}; pass the real outputs of jointbins")
        arrays.append(array.astype(np.float64))
    p = arrays[0]
    if p.ndim != 2 or p.shape[0] != p.shape[1]:
        raise _mi_error(ValueError, "sizeMismatch",
                        f"joint (input 1) has shape {p.shape}; pass jointbins' (B, B) joint "
                        f"histogram")
    bins = p.shape[0]
    p1 = p.sum(axis=1) if arrays[1] is None else arrays[1].reshape(-1)
    p2 = p.sum(axis=0) if arrays[2] is None else arrays[2].reshape(-1)
    if p1.size != bins or p2.size != bins:
        raise _mi_error(ValueError, "sizeMismatch",
                        f"joint (input 1) has shape {p.shape}, h1 (input 2) {p1.size} and h2 "
                        f"(input 3) {p2.size} elements; pass the three outputs of one "
                        f"jointbins call ((B, B), B and B)")
    if base not in ("e", "bits"):
        raise _mi_error(ValueError, "badUnit", f"base (input 4) is {base!r}; pass 'e' or 'bits'")
    histograms = (p, p1, p2)
    if any(np.isnan(h).any() for h in histograms):
        return float("nan")
    for name, h in zip(names, histograms):
        negative = int((h < 0).sum())
        if negative:
            raise _mi_error(ValueError, "badHistogram",
                            f"{name} has {negative} negative element{'s' * (negative > 1)} "
                            f"(least {h.min():g}); pass a histogram: counts or shares, none "
                            f"below 0")
        if not h.sum() > 0:
            raise _mi_error(ValueError, "badHistogram",
                            f"{name} sums to 0: it holds no sample; pass the histogram of "
                            f"images that hold samples")
    p, p1, p2 = (h / h.sum() for h in histograms)
    i, j = np.nonzero(p.T)[::-1]  # column-major order, as Octave's find
    cells = p[i, j]
    mi = float(np.sum(cells * np.log(cells / (p1[i] * p2[j]))))
    return mi / np.log(2) if base == "bits" else mi
