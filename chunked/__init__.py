"""regkern.chunked: regkern's functions over dask arrays, chunk by chunk,
with the bits of the in-memory call.

    remap_vol, remap_plane, dispinvert_vol, dispinvert_plane,
    dispinvert_refine_vol, dispinvert_refine_plane, invert_field, jointbins

Same names, arguments, checks and messages as regkern's. The images and
fields may be dask arrays or anything dask.array.from_array takes (zarr
arrays, HDF5 datasets, NumPy memory maps, ndarrays: their own chunks are
kept); window weights, kernels and settings are small and given as in
memory. Every kernel is local, so each chunk of the outputs is computed
from the inputs over the chunk and a halo, by the core's region entries,
which place the chunk in the whole grid: the block grid, the clipping and
clamping at the whole grid's faces and the splat's division are the whole
call's, and so are the bits, seams included. Volumes may hold more than
2^31 - 1 elements; each chunk (with its halo) must stay within that.

What is computed when:
  - the shapes and settings are checked when the call is made, by the
    in-memory check on stand-ins of the whole call's shapes (no data is
    read): the same exception, identifier and message as regkern's;
  - remap_*, dispinvert_vol/_plane return lazy dask arrays; the halos and
    warnings the data decide (the remapping's outOfRange and narrowData,
    the splat's largest |b|) are one dask reduction each when the call is
    made (a second for the finite census of an image that may warn);
  - the refinement and invert_field run their passes when called (the
    stopping rule reads the whole field's largest residual after every
    pass) and return dask arrays held by the scheduler (persisted) and the
    step count or info;
  - jointbins returns a dask.delayed tuple; its compute() gives
    (joint, h1, h2) and issues the call's warnings once, in the caller's
    process, whichever scheduler ran the chunks.

`threads` is the worker threads of each chunk's kernel (default 1: dask
runs chunks side by side). The results do not depend on it, nor on the
scheduler. docs/chunked.md says when to go chunked and how to size chunks.
"""
from __future__ import annotations

from typing import Optional, Sequence

import regkern as _memory

from . import _invert, _jointbins, _refine, _remap, _splat
from .._front import RegkernWarning

__all__ = ["remap_vol", "remap_plane", "dispinvert_vol", "dispinvert_plane",
           "dispinvert_refine_vol", "dispinvert_refine_plane", "invert_field", "jointbins",
           "RegkernWarning"]


def _described(name: str, chunked: str):
    def decorate(function):
        function.__doc__ = (chunked.strip("\n") + "\n\nThe in-memory function, whose inputs, "
                            "outputs, errors and warnings these are:\n\n    "
                            + getattr(_memory, name).__doc__)
        return function
    return decorate


_REMAP = """
    Chunked: A, B, C, D are dask arrays (or anything dask.array.from_array
    takes); out_a, out_b are lazy dask arrays of A's shape. The chunks are
    realigned along each axis to the block grid: each edge moves to the
    nearest voxel where a block's written voxels begin (remap_chunk_edges in
    remap/remap_region.h), so that every block's histograms are gathered in
    one chunk; B, C and D take A's chunks. Each chunk reads the images over
    a halo of ceil((spacing - 1) / 2) + (w - 1) // 2 + 1 voxels below and
    ceil((spacing - 1) / 2) + w - (w - 1) // 2 above (w the window's extent
    along the axis), clipped at the volume's faces. The census of the
    outOfRange and narrowData warnings is one reduction over the four
    images when the call is made (a second, of the finite values, for an
    image that may warn).
"""


@_described("remap_vol", _REMAP)
def remap_vol(A, B, C, D, range, bins, weights, spacing, *, threads: Optional[int] = None):
    return _remap.remap("remap_vol", ("f64", "f32"), 3,
                        (A, B, C, D, range, bins, weights, spacing), threads)


@_described("remap_plane", _REMAP)
def remap_plane(A, B, C, D, range, bins, weights, spacing, *, threads: Optional[int] = None):
    return _remap.remap("remap_plane", ("f64",), 2,
                        (A, B, C, D, range, bins, weights, spacing), threads)


_SPLAT = """
    Chunked: the field components are dask arrays (or anything
    dask.array.from_array takes); the outputs are lazy dask arrays with
    bx's chunks. The largest |b| of the finite samples, per axis, is one
    dask reduction when the call is made; each chunk of F reads b over a
    halo of C + K - K//2 points below and C + K//2 above (C = ceil(max |b|),
    K the kernel's extent along the axis; in float32 C grows by the
    rounding of the splat point), clipped at the grid's faces: every sample
    whose kernel reaches the chunk.
"""


@_described("dispinvert_vol", _SPLAT)
def dispinvert_vol(bx, by, bz, H, *, threads: Optional[int] = None):
    return _splat.splat("dispinvert_vol", ("f64", "f32"), (bx, by, bz), H, threads)


@_described("dispinvert_plane", _SPLAT)
def dispinvert_plane(bx, by, H, *, threads: Optional[int] = None):
    return _splat.splat("dispinvert_plane", ("f64",), (bx, by), H, threads)


_REFINE = """
    Chunked: runs when called. Every pass is computed chunk by chunk (b's
    chunks), each chunk reading b over a halo of ceil(max |F|) + 1 points
    (the largest |F| of the pass's field per axis; a non-finite F reads to
    the faces), and persisted; the largest residual of the whole field
    after each pass (one reduction) decides whether to stop, so the steps
    taken and the bits are the in-memory call's. Returns the field and r as
    dask arrays held by the scheduler, and done as an int. `method` is the
    refinement pass's ("fixed_point" or "newton").
"""


@_described("dispinvert_refine_vol", _REFINE)
def dispinvert_refine_vol(bx, by, bz, Fx0, Fy0, Fz0, steps, tol, *,
                          threads: Optional[int] = None, method: str = "fixed_point"):
    return _refine.refine("dispinvert_refine_vol", ("f64", "f32"), (bx, by, bz),
                          (Fx0, Fy0, Fz0), steps, tol, threads, method)


@_described("dispinvert_refine_plane", _REFINE)
def dispinvert_refine_plane(bx, by, Fx0, Fy0, steps, tol, *, threads: Optional[int] = None,
                            method: str = "fixed_point"):
    return _refine.refine("dispinvert_refine_plane", ("f64",), (bx, by), (Fx0, Fy0), steps,
                          tol, threads, method)


_INVERT = """
    Chunked: the in-memory call's checks on stand-ins of b when called (the
    same invert_field:<condition> refusals and warnings), then the splat
    (dispinvert_vol's or _plane's, chunked) and the chunked refinement:
    F comes back as dask arrays held by the scheduler, info as a dict once
    the refinement has stopped, with the in-memory call's notConverged and
    unrefined warnings. mean_residual is summed chunk by chunk (equal to
    the in-memory figure within rounding); F, steps, max_residual,
    converged and unrefined are the in-memory call's.
"""


@_described("invert_field", _INVERT)
def invert_field(b: Sequence, kernel=1, steps: int = 20, tolerance=1e-4, *,
                 method: str = "newton", threads: Optional[int] = None, H=None):
    return _invert.invert_field(b, kernel, steps, tolerance, method=method, threads=threads, H=H)


@_described("jointbins", """
    Chunked: image1 and image2 are dask arrays (or anything
    dask.array.from_array takes), paired sample by sample in column-major
    order (image2 takes image1's chunks). Returns a dask.delayed tuple:
    .compute() (or dask.compute) gives (joint, h1, h2) and issues the call's
    warnings once. Each chunk's partial sums are combined in chunk order in
    double: the same bits for a given chunking whatever the scheduler or
    the number of workers, and within a few units in the last place of the
    in-memory result (jointbins/jointbins_region.h states the bound: about
    (2m + 2) u relative for a cell of m additions, u half the epsilon of the
    dtype); one chunk gives the in-memory bits.
""")
def jointbins(image1, image2, lower, upper, bins, *, threads: Optional[int] = None):
    return _jointbins.jointbins(image1, image2, lower, upper, bins, threads=threads)
