"""Past 2^31 - 1 samples (slow: minutes): regkern.chunked on a cluster of 2
worker processes of at most 4 GB each takes what the in-memory call
refuses (tooLarge), with every chunk's result checked against an in-memory
call small enough to make."""
import dask.array as da
import numpy as np
import pytest

import regkern
import regkern.chunked as chunked

distributed = pytest.importorskip("distributed")
PERIOD = 1000
SAMPLES = PERIOD * 2_150_000  # 2.15e9 > 2^31 - 1


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", memory_limit="4GB",
                                  dashboard_address=None) as local:
        with distributed.Client(local) as client:
            yield client


def periodic(phase):
    # generated chunk by chunk on the workers, never held whole
    k = da.arange(SAMPLES, chunks=PERIOD * 20_000, dtype=np.int64)
    return ((k * 7 + phase) % PERIOD).astype(np.float64) / PERIOD


def test_a_joint_histogram_of_more_than_2_31_samples(cluster):
    joint, h1, h2 = chunked.jointbins(periodic(0), periodic(500), 0, 1, 16).compute()
    # the images repeat every PERIOD samples: the histogram is one period's
    k = np.arange(PERIOD)
    one = [((k * 7 + phase) % PERIOD) / PERIOD for phase in (0, 500)]
    expected = regkern.jointbins(one[0], one[1], 0, 1, 16)
    u = np.finfo(np.float64).eps / 2
    for want, got in zip(expected, (joint, h1, h2)):
        bound = (8 * SAMPLES + 3) * u * np.maximum(abs(want), abs(got)) + 8 * PERIOD * u
        assert np.all(abs(got - want) <= bound)


def test_a_splat_over_more_than_2_31_voxels(cluster):
    # b varies along x only, so every (y, z) column of F is the in-memory
    # result on a grid one column wide in y and z; each chunk is compared
    # there and only the count of differing voxels leaves the worker
    shape, chunks = (2048, 1025, 1024), (2048, 128, 128)
    assert np.prod(shape) > 2**31 - 1
    x = np.arange(shape[0], dtype=np.float32)
    bx_line = (2.5 * np.sin(2 * np.pi * x / 97)).astype(np.float32)
    bx = da.from_array(bx_line[:, None, None], chunks=(2048, 1, 1))
    bx = da.broadcast_to(bx, shape, chunks=chunks)
    zero = da.zeros(shape, dtype=np.float32, chunks=chunks)
    H = np.ones((3, 1, 1), np.float32)
    F = chunked.dispinvert_vol(bx, zero, zero, H)
    column = regkern.dispinvert_vol(np.asfortranarray(np.broadcast_to(bx_line[:, None, None],
                                                                      (2048, 3, 3))),
                                    np.zeros((2048, 3, 3), np.float32, order="F"),
                                    np.zeros((2048, 3, 3), np.float32, order="F"), H)
    expected = [c[:, 1:2, 1:2] for c in column]
    differing = [da.map_blocks(lambda block, want: np.array([[[np.count_nonzero(
        (block != want) & ~(np.isnan(block) & np.isnan(want)))]]]), f, chunks=(1, 1, 1),
        want=e, dtype=np.int64).sum() for f, e in zip(F, expected)]
    assert [int(d) for d in da.compute(*differing)] == [0, 0, 0]
