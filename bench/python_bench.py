"""python_bench.py OUTDIR [quick|full]: times the Python calls on the standard
workloads of bench/octave_bench.m (same shapes and settings, data of the
same kind), at 1 and 2 threads:

  kernel      regkern._core's function on inputs already laid out: the core's
              checks and run, and the outputs' allocation
  F-ordered   regkern.<function> on Fortran-ordered inputs: the whole front
              end (dtype choice, layout check, thread count, exceptions and
              warnings) around the kernel
  C-ordered   the same on C-ordered inputs, which are copied once

The best of 7 runs after a warm-up call (the least disturbed by other
load; the three are taken in turn in each run so that load falls on all
alike). Each call must give the kernel's bits. Beside them, the Octave
plug-in's time from OUTDIR/octave.md when bench/octave_bench.m wrote it
first (scripts/run_bench.sh).

What the front end adds to a Fortran-ordered call does not grow with the
data (no copy, no pass over it), so it is also measured where nothing else
hides it: the time of a whole call whose kernel has next to nothing to do,
against the kernel's time on each workload. Writes OUTDIR/python.md. Exit
status 1 when bits differ or that fixed cost is 5 % or more of a workload's
kernel time.
"""
import os
import re
import sys
import time

import numpy as np

import regkern
from regkern import _core, _front

RUNS = 7
rng = np.random.default_rng(5)


def blob_image(dims):
    """Smooth random blobs scaled into [0, 1], plus mild noise."""
    dims = tuple(dims) + (1,) * (3 - len(dims))
    image = np.zeros(dims)
    axes = [np.arange(n, dtype=float) for n in dims]
    for _ in range(8):
        centre = rng.random(3) * dims
        r = (0.1 + 0.25 * rng.random()) * max(dims)
        g = [np.exp(-((a - c) ** 2) / (2 * r * r)) for a, c in zip(axes, centre)]
        image += (0.3 + rng.random()) * g[0][:, None, None] * g[1][None, :, None] * g[2][None, None, :]
    image = (image - image.min()) / (image.max() - image.min())
    return np.clip(image + 0.02 * rng.standard_normal(dims), 0, 1)


def bump_field(dims, amplitude):
    dims3 = tuple(dims) + (1,) * (3 - len(dims))
    f = np.zeros(dims3)
    axes = [np.arange(n, dtype=float) for n in dims3]
    for _ in range(6):
        centre = rng.random(3) * dims3
        r = (0.1 + 0.2 * rng.random()) * max(dims3)
        a = amplitude * (2 * rng.random() - 1)
        g = [np.exp(-((x - c) ** 2) / (2 * r * r)) for x, c in zip(axes, centre)]
        if len(dims) == 2:
            g[2] = np.ones(1)
        f += a * g[0][:, None, None] * g[1][None, :, None] * g[2][None, None, :]
    return np.clip(f, -amplitude, amplitude).reshape(dims)


def gaussian(extent, D, s):
    e = np.arange(extent) - (extent - 1) / 2
    g = np.exp(-(e**2) / (2 * (extent / s) ** 2))
    return g[:, None] * g[None, :] if D == 2 else g[:, None, None] * g[None, :, None] * g[None, None, :]


def workloads(scale):
    """(plug-in, workload text, function, inputs) as octave_bench.m has them."""
    cases = []
    dims = [160 // scale, 160 // scale, 96 // scale]
    a, b = blob_image(dims), blob_image(dims)
    for dtype, plugin in ((np.float64, "remap_vol_f64"), (np.float32, "remap_vol_f32")):
        arrays = [x.astype(dtype, order="F") for x in (a, b, 0.5 + 0.5 * np.sin(3 * b), a**2,
                                                        gaussian(13, 3, 4))]
        cases.append((plugin, "%dx%dx%d, spacing 6, window 13^3, 32 bins" % tuple(dims),
                      regkern.remap_vol, arrays[:4] + [(0, 1), 32, arrays[4], 6]))
    dims = [1024 // scale, 1024 // scale]
    a, b = blob_image(dims)[:, :, 0], blob_image(dims)[:, :, 0]
    arrays = [np.asfortranarray(x) for x in (a, b, 0.5 + 0.5 * np.sin(3 * b), a**2, gaussian(25, 2, 4))]
    cases.append(("remap_plane_f64", "%dx%d, spacing 8, window 25^2, 64 bins" % tuple(dims),
                  regkern.remap_plane, arrays[:4] + [(0, 1), 64, arrays[4], 8]))
    dims = [128 // scale, 128 // scale, 96 // scale]
    field = [bump_field(dims, 4) for _ in range(3)] + [gaussian(3, 3, 3)]
    for dtype, plugin in ((np.float64, "dispinvert_vol_f64"), (np.float32, "dispinvert_vol_f32")):
        cases.append((plugin, "%dx%dx%d, kernel 3^3" % tuple(dims), regkern.dispinvert_vol,
                      [x.astype(dtype, order="F") for x in field]))
    dims = [1024 // scale, 1024 // scale]
    field = [bump_field(dims, 4), bump_field(dims, 4), gaussian(5, 2, 3)]
    cases.append(("dispinvert_plane_f64", "%dx%d, kernel 5^2" % tuple(dims), regkern.dispinvert_plane,
                  [np.asfortranarray(x) for x in field]))
    dims = [256 // scale, 256 // scale, 160 // scale]
    a = blob_image(dims)
    b = np.clip(0.5 + 0.45 * np.sin(4 * a) + 0.03 * rng.standard_normal(a.shape), 0, 1)
    for dtype, plugin in ((np.float64, "jointbins_f64"), (np.float32, "jointbins_f32")):
        cases.append((plugin, "%dx%dx%d, 64 bins" % tuple(dims), regkern.jointbins,
                      [a.astype(dtype, order="F"), b.astype(dtype, order="F"), 0, 1, 64]))
    return cases


def timed(call):
    start = time.perf_counter()
    out = call()
    return time.perf_counter() - start, out


def octave_times(out_dir):
    """{(plug-in, threads): ms} from the Octave table, when there is one."""
    times = {}
    path = os.path.join(out_dir, "octave.md")
    if os.path.exists(path):
        for line in open(path):
            cells = [c.strip() for c in line.split("|")[1:-1]]
            if len(cells) == 9 and re.fullmatch(r"[12]", cells[2]) and cells[3] != "-":
                times.setdefault((cells[0], int(cells[2])), cells[3])
    return times


def fixed_cost():
    """Seconds the whole front end takes per call beyond the kernel's work:
    regkern.jointbins on one sample, against regkern._core's function on the
    same inputs already laid out; best of 2000 each."""
    one = np.ones((1, 1), order="F")
    laid_out = (one, one, np.zeros(()), np.ones(()), np.full((), 2.0))
    front = min(timed(lambda: regkern.jointbins(one, one, 0, 1, 2, threads=1))[0]
                for _ in range(2000))
    kernel = min(timed(lambda: _core.jointbins_f64(laid_out, 1.0))[0] for _ in range(2000))
    return front, kernel


def main():
    out_dir = sys.argv[1]
    scale = 2 if len(sys.argv) > 2 and sys.argv[2] == "quick" else 1
    octave = octave_times(out_dir)
    front, kernel_alone = fixed_cost()
    rows, failed = [], False
    for plugin, workload, function, inputs in workloads(scale):
        names = function.__code__.co_varnames[:len(inputs)]
        settings = [k for k, v in enumerate(inputs) if not isinstance(v, np.ndarray)]
        _, prepared = _front.prepare(plugin.rsplit("_", 1)[0], ("f64", "f32"), names, inputs, settings)
        kernel = getattr(_core, plugin)
        c_inputs = [np.ascontiguousarray(v) if isinstance(v, np.ndarray) else v for v in inputs]
        for threads in (1, 2):
            calls = {
                "kernel": lambda: kernel(tuple(prepared), float(threads))[0],
                "F": lambda: function(*inputs, threads=threads),
                "C": lambda: function(*c_inputs, threads=threads),
            }
            reference = calls["kernel"]()
            identical = all(
                all(x.tobytes() == y.tobytes() for x, y in zip(reference, calls[k]())) for k in "FC")
            t = {k: [] for k in calls}
            for _ in range(RUNS):
                for k, call in calls.items():
                    t[k].append(timed(call)[0])
            m = {k: min(v) for k, v in t.items()}
            bound = front / m["kernel"]
            failed = failed or not identical or bound >= 0.05
            rows.append(f"| {plugin} | {workload} | {threads} | {octave.get((plugin, threads), '-')} | "
                        f"{m['kernel'] * 1e3:.1f} | {m['F'] * 1e3:.1f} | "
                        f"{100 * (m['F'] / m['kernel'] - 1):+.1f} % | {100 * bound:.3f} % | "
                        f"{m['C'] * 1e3:.1f} | {100 * (m['C'] / m['kernel'] - 1):+.1f} % | "
                        f"{'identical' if identical else 'NOT IDENTICAL'} |")
            print(rows[-1], flush=True)

    text = ["## Plug-ins called from Python", "",
            f"Python {sys.version.split()[0]}, NumPy {np.__version__}; time.perf_counter round each "
            f"call, best of {RUNS} runs after a warm-up call.",
            "Octave: the plug-in's time from the Octave table above. Kernel: regkern._core on inputs "
            "already laid out (checks, outputs, run). F-/C-ordered: regkern's function on "
            "Fortran-/C-ordered inputs, and how much longer it took than the kernel (C order: one "
            "copy of each input). Fixed cost: the time of a whole call with next to nothing to do "
            "(below), an upper bound on what the front end adds to a Fortran-ordered call, as a "
            "share of the kernel's time.", "",
            "| plug-in | workload | threads | Octave (ms) | kernel (ms) | F-ordered (ms) | vs kernel | "
            "fixed cost | C-ordered (ms) | vs kernel | checks |",
            "|---|---|---|---|---|---|---|---|---|---|---|", *rows, "",
            f"A whole call with next to nothing to do (jointbins on one sample, best of 2000): "
            f"regkern {front * 1e6:.1f} µs, of which regkern._core {kernel_alone * 1e6:.1f} µs "
            f"(the Python layer: {(front - kernel_alone) * 1e6:.1f} µs)."]
    with open(os.path.join(out_dir, "python.md"), "w") as f:
        f.write("\n".join(text) + "\n")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
