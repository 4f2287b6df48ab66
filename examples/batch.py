"""Many subjects from Python: a cohort of synthetic subjects, each processed
the way each subject of a real study would be (two contrasts remapped into
each other, their joint histogram, the inverse of a displacement field),
shared among processes of one kernel thread each.

    python3 examples/batch.py                      every core, one process each
    python3 examples/batch.py --serial             the plain loop, all threads
    python3 examples/batch.py --dask               dask.distributed, this machine
    python3 examples/batch.py --dask tcp://head:8786   a dask cluster's scheduler

On a cluster, start `dask scheduler` on one machine and `dask worker
tcp://head:8786 --nthreads 1` on each machine (regkern installed on every
one; this file is sent to the workers). The results are the same, bit for
bit, however the subjects are shared.

The cohort is not examples/batch.m's: that one builds its subjects from the
Octave demo's phantom and field (examples/demo_phantom.m, demo_field.m),
which are not ported here. This one has a phantom of nested shells, a sine
field, blocks of 6 voxels and a 3x3x3 splatting kernel. Both show the same
thing (processes of one thread each give the serial loop's bits), not the
same numbers.
"""
from __future__ import annotations

import argparse
import os
import time
from concurrent.futures import ProcessPoolExecutor
from typing import Dict, List, Optional, Sequence

import numpy as np

import regkern


def subject_data(subject: int, shape: Sequence[int]):
    """A subject's two contrasts A and D and a displacement field: a phantom
    under the subject's own bias field and contrast, with noise from a hash
    of the voxel index, so that every process makes the same subject
    without sharing a random generator."""
    x, y, z = np.meshgrid(*(np.linspace(-1, 1, n) for n in shape), indexing="ij")
    radius = np.sqrt(x**2 + y**2 + (1.2 * z) ** 2)
    tissue = np.select([radius < 0.35, radius < 0.6, radius < 0.85], [0.9, 0.6, 0.3], 0.05)
    index = np.arange(tissue.size, dtype=np.float64).reshape(shape, order="F")

    def noise(seed):
        return np.mod(np.sin(index * 12.9898 + seed * 78.233) * 43758.5453, 1) - 0.5

    bias = 1 + 0.05 * (subject % 5) * (x + 0.5 * y)
    A = np.clip(tissue * bias + 0.04 * noise(2 * subject), 0, 1)
    power = 1 + 0.1 * (subject % 3)
    D = np.clip(0.1 + 0.8 * np.sin(1.5 * np.pi * tissue**power) ** 2
                + 0.06 * noise(2 * subject + 1), 0, 1)
    field = [np.asfortranarray(1.5 * np.sin(np.pi * (c + 0.1 * subject))) for c in (y, z, x)]
    return np.asfortranarray(A), np.asfortranarray(D), field


def process_subject(subject: int, shape: Sequence[int], threads: Optional[int]) -> Dict:
    """One subject: out_a, out_b (remap_vol), joint (jointbins of out_a and D,
    32 bins), F (dispinvert_vol), and the correlation with D before and
    after the remapping. The results do not depend on `threads`."""
    A, D, field = subject_data(subject, shape)
    g = np.exp(-((np.arange(7) - 3.0) ** 2) / (2 * 1.75**2))
    window = np.asfortranarray(g[:, None, None] * g[None, :, None] * g[None, None, :])
    out_a, out_b = regkern.remap_vol(A, D, A, D, (0, 1), 32, window, 6, threads=threads)
    joint, _, _ = regkern.jointbins(out_a, D, 0, 1, 32, threads=threads)
    F = regkern.dispinvert_vol(*field, np.ones((3, 3, 3), order="F"), threads=threads)
    correlation = [float(np.corrcoef(a.ravel(), D.ravel())[0, 1]) for a in (A, out_a)]
    return {"subject": subject, "threads": threads, "out_a": out_a, "out_b": out_b,
            "joint": joint, "F": F, "correlation": correlation}


def run_serial(subjects: int, shape: Sequence[int]) -> List[Dict]:
    return [process_subject(s, shape, None) for s in range(1, subjects + 1)]


def run_processes(subjects: int, shape: Sequence[int], processes: int) -> List[Dict]:
    # One kernel thread per process: the processes share the cores.
    with ProcessPoolExecutor(max_workers=processes) as pool:
        jobs = [pool.submit(process_subject, s, shape, 1) for s in range(1, subjects + 1)]
        return [job.result() for job in jobs]


def run_dask(subjects: int, shape: Sequence[int], scheduler: Optional[str] = None,
             processes: int = 2) -> List[Dict]:
    """On the scheduler at `scheduler`, or on a cluster of `processes` worker
    processes on this machine's loopback interface (nothing outside it can
    reach them, and no dashboard is served)."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        client, cluster = Client(scheduler), None
    else:
        cluster = LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    try:
        client.upload_file(os.path.abspath(__file__))  # the workers import this file
        futures = client.map(process_subject, range(1, subjects + 1), shape=tuple(shape),
                             threads=1, pure=False)
        return client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--subjects", type=int, default=8)
    parser.add_argument("--shape", type=int, nargs=3, default=(64, 64, 48))
    parser.add_argument("--processes", type=int, default=os.cpu_count() or 1)
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--serial", action="store_true", help="the plain loop, with every thread")
    how.add_argument("--dask", nargs="?", const="", metavar="SCHEDULER",
                     help="dask.distributed: a scheduler's address, or none for this machine")
    args = parser.parse_args(argv)
    start = time.perf_counter()
    if args.serial:
        results = run_serial(args.subjects, args.shape)
    elif args.dask is not None:
        results = run_dask(args.subjects, args.shape, args.dask or None, args.processes)
    else:
        results = run_processes(args.subjects, args.shape, args.processes)
    print(f"batch: {args.subjects} subjects of {args.shape} in "
          f"{time.perf_counter() - start:.1f} s")
    for r in results:
        print(f"  subject {r['subject']:2d}: correlation with D {r['correlation'][0]:.3f} (A) "
              f"-> {r['correlation'][1]:.3f} (out_a), threads={r['threads']}")


if __name__ == "__main__":
    main()
