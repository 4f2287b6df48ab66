"""Calls made through the stand-in host and through Octave give the same
bits through Python: at 1, 2 and 7 threads, from Fortran-ordered,
C-ordered and strided inputs."""
import threading
import time

import numpy as np
import pytest

import regkern

from shared_cases import call, read_cases, same_results

CASES = read_cases() + read_cases("octave")


@pytest.mark.filterwarnings("ignore::regkern.RegkernWarning")  # some cases warn
@pytest.mark.parametrize("case", CASES, ids=[f"{c.plugin}-{c.name}" for c in CASES])
def test_same_bits_as_the_other_hosts(case):
    for threads in (1, 2, 7):
        for layout in ("F", "C", "strided"):
            inputs = [a.copy(order="K") for a in case.inputs]
            same_results(case.outputs, call(case, threads, layout))
            # nothing is written into the caller's arrays
            for before, after in zip(inputs, case.inputs):
                assert before.tobytes() == after.tobytes()


def test_fortran_ordered_inputs_are_read_in_place():
    from regkern import _front
    case = next(c for c in CASES if c.plugin == "remap_vol_f64")
    A = case.inputs[0]
    zyx = np.ascontiguousarray(A.T)  # [z, y, x], as another library may hold it
    c_ordered = np.ascontiguousarray(A)
    names = ("A", "B", "C", "D", "range", "bins", "weights", "spacing")
    _, arrays = _front.prepare("remap_vol", ("f64",), names,
                               (A, zyx.T, c_ordered, A[::2], (0, 1), 8, 1, 2), (4, 5, 7))
    assert arrays[0] is A and np.shares_memory(arrays[1], zyx)
    assert arrays[2].flags.f_contiguous and not np.shares_memory(arrays[2], c_ordered)
    assert arrays[3].flags.f_contiguous and not np.shares_memory(arrays[3], A)


def test_other_python_threads_run_while_a_kernel_runs():
    ticks = [0]
    running = threading.Event()

    def tick():
        while not running.is_set():
            time.sleep(0.0005)
        while running.is_set():
            ticks[0] += 1
            time.sleep(0.0005)

    field = [np.full((64, 64, 64), 0.3, order="F")] * 3
    ticker = threading.Thread(target=tick)
    ticker.start()
    running.set()
    before = ticks[0]
    start = time.perf_counter()
    regkern.dispinvert_vol(*field, np.ones((5, 5, 5)), threads=1)
    elapsed = time.perf_counter() - start
    during = ticks[0] - before
    running.clear()
    ticker.join()
    # holding the interpreter lock, the kernel would let the ticker take a
    # step only in the few microseconds of Python around it
    assert during > 10, (during, elapsed)


def test_invert_field_splats_then_refines_to_the_tolerance():
    x, y, z = np.meshgrid(np.arange(32.0), np.arange(32.0), np.arange(24.0), indexing="ij")
    b = [np.asfortranarray(c) for c in
         (1.5 * np.sin(2 * np.pi * x / 32), np.cos(2 * np.pi * y / 32), 0 * z)]
    F, info = regkern.invert_field(b, tolerance=1e-6, threads=2, method="fixed")
    assert info["converged"] and 0 < info["steps"] < 20 and info["unrefined"] == 0
    same_results(list(F), regkern.dispinvert_refine_vol(*b, *regkern.dispinvert_vol(*b, 1),
                                                       20, 1e-6)[:3])
    plane = [c[:, :, 0].astype(np.float32) for c in b[:2]]
    F, info = regkern.invert_field(plane, steps=3)
    assert len(F) == 2 and F[0].dtype == np.float32 and info["steps"] <= 3
    # NaN and Inf in b, the fixed point asked for by name: the plug-ins'
    # bits, the unrefined points counted and the steps an int everywhere
    b[0][5, 5, 4], b[2][2, 7, 1] = np.nan, -np.inf
    with pytest.warns(regkern.RegkernWarning) as record:
        F, info = regkern.invert_field(b, H=np.ones((3, 3, 3)), steps=3, method="Fixed")
    assert "invert_field:unrefined" in [w.message.identifier for w in record]
    *G, r, done = regkern.dispinvert_refine_vol(*b, *regkern.dispinvert_vol(*b, np.ones((3, 3, 3))),
                                                3, 1e-4)
    same_results(list(F), G)
    finite = r[np.isfinite(r)]
    assert type(done) is int and type(info["steps"]) is int and info["steps"] == done
    assert (info["unrefined"], info["converged"]) == (r.size - finite.size, False)
    assert info["max_residual"] == finite.max()
    assert info["mean_residual"] == pytest.approx(finite.mean(), rel=1e-14)
