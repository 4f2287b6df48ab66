"""chunked_bench.py OUTDIR [quick|full] [SECTIONS]: regkern.chunked against the
in-memory call, in one run, on the same inputs and cores. Writes
OUTDIR/chunked.md with three tables:

  standard workloads  the workloads of bench/python_bench.py through
                      regkern.chunked in chunks of 64^3 and 128^3 voxels
                      (planes: 512^2 and 1448^2 pixels, the same counts) on a
                      LocalCluster of 1 and 2 worker processes of one thread
                      each, against the in-memory call at 1 and 2 threads
  2^27 voxels         a 512^3 float32 remapping and splat (kernel 1: the
                      chunking's cost shows most) in chunks of 128^3
                      on dask's threaded scheduler with 2 threads, against
                      the in-memory call with 2 threads: what chunking
                      costs (halo, graph, copies) with the data in memory
  past 2^31           the joint histogram of two lazily generated images of
                      2^31 + 2^27 samples on 2 worker processes: samples per
                      second (generation included)

SECTIONS (default "standard,large,past") chooses among the three tables.
Times are the best of 3 runs after a warm-up (the least disturbed by other
load; the 2^27-voxel calls: one run each); a chunked time includes building the graph and the calls' own
reductions (the splat's largest |b|, the remapping's census). Every chunked
result must have the in-memory bits (the joint histogram: within the bound
of jointbins/jointbins_region.h); exit status 1 otherwise.
"""
import os
import sys
import time

import dask
from dask.delayed import Delayed
import dask.array as da
import numpy as np

import regkern
import regkern.chunked as chunked

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from python_bench import blob_image, bump_field, workloads  # noqa: E402

RUNS = 3
FAMILIES = {"remap_vol": 8, "remap_plane": 8, "dispinvert_vol": 4, "dispinvert_plane": 3,
            "jointbins": 5}
SMALL = {"remap_vol": (4, 5, 6, 7), "remap_plane": (4, 5, 6, 7), "dispinvert_vol": (3,),
         "dispinvert_plane": (2,), "jointbins": (2, 3, 4)}


def best(call):
    call()
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def once(call):
    # the 2^27-voxel calls: one run each, in-memory and chunked in turn
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def computed(outputs):
    if isinstance(outputs, Delayed):
        return list(outputs.compute())
    return [np.asarray(o) for o in dask.compute(*outputs)]


def same(memory, lazy, family, samples):
    for want, got in zip(memory, lazy):
        if family == "jointbins":
            u = np.finfo(want.dtype).eps / 2
            if np.any(abs(got - want) > (8 * samples + 3) * u * np.maximum(abs(want), abs(got))):
                return False
        elif np.asfortranarray(want).tobytes("F") != np.asfortranarray(got).tobytes("F"):
            return False
    return True


def chunk_edge(voxels, ndim):
    return int(round(voxels ** (1.0 / ndim)))


def standard(scale, rows, failures):
    from distributed import Client, LocalCluster
    cases = workloads(scale)
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          host="127.0.0.1", dashboard_address=None) as cluster, \
                Client(cluster):
            for plugin, workload, function, inputs in cases:
                family = plugin.rsplit("_", 1)[0]
                memory_time, memory = best(lambda: function(*inputs, threads=workers))
                for chunk in (64 ** 3, 128 ** 3):
                    edge = chunk_edge(chunk, inputs[0].ndim)
                    lazy = [x if k in SMALL[family] else da.from_array(x, chunks=edge)
                            for k, x in enumerate(inputs)]
                    call = getattr(chunked, family)
                    took, got = best(lambda: computed(call(*lazy)))
                    ok = same(memory, got, family, inputs[0].size)
                    if not ok:
                        failures.append(f"{plugin} {workload} chunks {edge}: bits differ")
                    rows.append(f"| {plugin} | {workload} | {edge}^{inputs[0].ndim} | {workers} | "
                                f"{memory_time * 1e3:.0f} | {took * 1e3:.0f} | "
                                f"{took / memory_time:.2f} | {'same' if ok else 'DIFFER'} |")
                    print(rows[-1], flush=True)


def large(scale, rows, failures):
    edge = 512 // scale
    dims = (edge, edge, edge)
    a = blob_image(dims).astype(np.float32, order="F")
    b = blob_image(dims).astype(np.float32, order="F")
    remap_inputs = [a, b, np.asfortranarray(0.5 + 0.5 * np.sin(3 * b)), np.asfortranarray(a ** 2),
                    (0, 1), 32, np.ones((7, 7, 7), np.float32), 6]
    del b
    field = [bump_field(dims, 4).astype(np.float32, order="F") for _ in range(3)]
    splat_inputs = field + [np.ones((1, 1, 1), np.float32)]
    for family, inputs, text in (
            ("remap_vol", remap_inputs, f"{edge}^3 float32, spacing 6, window 7^3, 32 bins"),
            ("dispinvert_vol", splat_inputs, f"{edge}^3 float32, kernel 1, |b| <= 4")):
        memory_time, memory = once(lambda: getattr(regkern, family)(*inputs, threads=2))
        lazy = [x if k in SMALL[family] else da.from_array(x, chunks=128 // scale)
                for k, x in enumerate(inputs)]
        with dask.config.set(scheduler="threads", num_workers=2):
            took, got = once(lambda: computed(getattr(chunked, family)(*lazy)))
        ok = same(memory, got, family, 0)
        if not ok:
            failures.append(f"{family} {text}: bits differ")
        rows.append(f"| {family} | {text} | {128 // scale}^3 | {memory_time:.2f} | {took:.2f} | "
                    f"{100 * (took / memory_time - 1):+.0f} % | {'same' if ok else 'DIFFER'} |")
        print(rows[-1], flush=True)
        del memory, got


def past_int32(scale, rows):
    from distributed import Client, LocalCluster
    samples = (2 ** 31 + 2 ** 27) // scale ** 3
    chunk = 2 ** 24

    def image(phase):
        k = da.arange(samples, chunks=chunk, dtype=np.int64)
        return ((k * 7 + phase) % 1000).astype(np.float64) / 1000

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      memory_limit="4GB", dashboard_address=None) as cluster, Client(cluster):
        start = time.perf_counter()
        joint, h1, h2 = chunked.jointbins(image(0), image(500), 0, 1, 16).compute()
        took = time.perf_counter() - start
    rows.append(f"| jointbins_f64 | {samples} samples (2 images generated lazily), 16 bins, "
                f"chunks of {chunk} | 2 processes | {took:.1f} | {samples / took / 1e6:.0f} |")
    print(rows[-1], flush=True)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "."
    scale = 2 if len(sys.argv) > 2 and sys.argv[2] == "quick" else 1
    sections = sys.argv[3].split(",") if len(sys.argv) > 3 else ["standard", "large", "past"]
    failures, standard_rows, large_rows, past_rows = [], [], [], []
    if "standard" in sections:
        standard(scale, standard_rows, failures)
    if "large" in sections:
        large(scale, large_rows, failures)
    if "past" in sections:
        past_int32(scale, past_rows)
    with open(os.path.join(out_dir, "chunked.md"), "w") as table:
        table.write("## regkern.chunked against the in-memory call (bench/chunked_bench.py)\n\n"
                    "Standard workloads, dask.distributed LocalCluster of 1-thread worker "
                    "processes against the in-memory call with as many threads; best of "
                    f"{RUNS}, graph building and the calls' reductions included.\n\n"
                    "| plug-in | workload | chunks | workers | in memory (ms) | chunked (ms) | "
                    "ratio | bits |\n|---|---|---|---|---|---|---|---|\n")
        table.write("\n".join(standard_rows) + "\n\n")
        table.write("2^27 voxels: dask's threaded scheduler, 2 threads, against the in-memory "
                    "call with 2 threads.\n\n| plug-in | workload | chunks | in memory (s) | "
                    "chunked (s) | chunked costs | bits |\n|---|---|---|---|---|---|---|\n")
        table.write("\n".join(large_rows) + "\n\n")
        table.write("Past 2^31 samples.\n\n| plug-in | workload | workers | time (s) | "
                    "million samples/s |\n|---|---|---|---|---|\n")
        table.write("\n".join(past_rows) + "\n")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
