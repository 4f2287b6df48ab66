"""examples/batch.py: a small cohort shared among two processes
(ProcessPoolExecutor) and among two dask.distributed workers on the loopback
interface gives, bit for bit, what the serial loop gives with every thread,
and each worker called the kernels with one thread."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.environ["REGKERN_SOURCE_DIR"], "examples"))
import batch  # noqa: E402

SHAPE = (20, 18, 12)


def arrays(result):
    return [result["out_a"], result["out_b"], result["joint"], *result["F"]]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # tornado, under dask
def test_processes_and_dask_give_the_serial_bits():
    serial = batch.run_serial(4, SHAPE)
    shared = {"processes": batch.run_processes(4, SHAPE, 2), "dask": batch.run_dask(4, SHAPE)}
    assert not np.array_equal(serial[0]["out_a"], serial[1]["out_a"])  # subjects differ
    assert all(r["correlation"][0] < 0.75 and r["correlation"][1] > 0.95 for r in serial)
    for how, results in shared.items():
        assert [r["subject"] for r in results] == [1, 2, 3, 4], how
        assert all(r["threads"] == 1 for r in results), how
        for one, other in zip(serial, results):
            for a, b in zip(arrays(one), arrays(other)):
                assert a.tobytes() == b.tobytes(), how
