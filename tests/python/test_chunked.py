"""regkern.chunked against the in-memory calls: the same bits (the joint
histogram within the core's bound, and the same bits whatever the
scheduler), the same warnings once per call, the same refusals with the
same identifiers; over every function and chunkings that cut where a
mistake would show (one chunk, one-voxel-thick chunks, chunks thinner than
the halo, uneven last chunks, edges off the remapping's block grid), and on
a real cluster of worker processes with zarr in and out."""
import warnings

import dask
from dask.delayed import Delayed
import dask.array as da
import numpy as np
import pytest

import regkern
import regkern.chunked as chunked
from regkern._front import python_text
from shared_cases import bits, call_invert_field, read_cases

# chunk extents per axis from the array's shape
CHUNKINGS = {
    "one chunk": lambda shape: shape,
    "one voxel thick": lambda shape: shape[:-1] + (1,),
    "thinner than the halo": lambda shape: (2,) + shape[1:],
    "uneven, off the block grid": lambda shape: tuple(max(1, s // 2 + 1) for s in shape),
}
# the inputs a function takes in memory whatever its caller passes (window
# weights, kernels) and its settings
SMALL = {"remap_vol": (4, 5, 6, 7), "remap_plane": (4, 5, 6, 7), "dispinvert_vol": (3,),
         "dispinvert_plane": (2,), "dispinvert_refine_vol": (6, 7),
         "dispinvert_refine_plane": (4, 5), "jointbins": (2, 3, 4)}


def lazy(array, chunking):
    array = np.asarray(array)
    if array.ndim == 0:
        return array
    return da.from_array(array, chunks=CHUNKINGS[chunking](array.shape))


def recorded(function, *arguments, **keywords):
    """The outputs (computed) and the warnings of a call, as (identifier,
    message)."""
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        outputs = function(*arguments, **keywords)
        if isinstance(outputs, Delayed):
            outputs = outputs.compute()
        outputs = [o if isinstance(o, (int, dict)) else np.asarray(o) for o in outputs]
    said = [(w.message.identifier, str(w.message)) for w in record
            if isinstance(w.message, regkern.RegkernWarning)]
    return outputs, said


def assert_same(expected, actual, samples=None):
    """Equal bits; for a joint histogram of `samples` samples cut into
    chunks, within the bound of jointbins/jointbins_region.h (a cell takes
    at most 4 additions per sample)."""
    assert len(actual) == len(expected)
    for k, (want, got) in enumerate(zip(expected, actual)):
        if isinstance(want, int):
            assert got == want, f"output {k + 1}"
            continue
        assert got.dtype == want.dtype and got.shape == want.shape, f"output {k + 1}"
        if samples is not None:
            u = np.finfo(want.dtype).eps / 2
            bound = (8 * samples + 3) * u * np.maximum(abs(want), abs(got))
            assert np.all((abs(got - want) <= bound) | (np.isnan(got) & np.isnan(want))), k
        else:
            assert bits(got) == bits(want), f"output {k + 1} differs"


def chunked_against_memory(family, inputs, chunking, **keywords):
    small = SMALL[family]
    memory, said = recorded(getattr(regkern, family), *inputs, **keywords)
    lazy_inputs = [v if k in small else lazy(v, chunking) for k, v in enumerate(inputs)]
    got, said_chunked = recorded(getattr(chunked, family), *lazy_inputs, **keywords)
    # one chunk gives the in-memory joint histogram's bits too
    samples = np.asarray(inputs[0]).size if family == "jointbins" and \
        chunking != "one chunk" else None
    assert_same(memory, got, samples)
    assert said_chunked == said
    return memory, got


def field(shape, largest, rng, dtype=np.float64):
    """A smooth field whose largest |b| is `largest`, with a NaN and an
    infinity, so that the splat's halo is wider than a thin chunk."""
    grids = np.meshgrid(*[np.arange(s, dtype=np.float64) for s in shape], indexing="ij")
    b = [np.asfortranarray((largest * np.sin(2 * np.pi * (g + a) / (s + 3))).astype(dtype))
         for a, (g, s) in enumerate(zip(grids, shape))]
    b[0][1, 1, ...] = np.nan
    b[-1][-2, 0, ...] = np.inf
    b[0][0, -1, ...] = rng.normal() * 2 * largest  # one far-flung sample
    return b


def synthetic(family, dtype, rng):
    if family.startswith("remap"):
        shape = (13, 11, 7) if family == "remap_vol" else (23, 17)
        images = [np.asfortranarray(rng.random(shape).astype(dtype)) for _ in range(4)]
        images[1][2, 3, ...] = np.nan
        images[2][0, 0, ...] = np.inf
        return images + [(0.0, 1.0), 8, rng.random((5,) * len(shape)).astype(dtype), 3]
    if family == "jointbins":
        images = [rng.normal(0.5, 0.4, (9, 7, 6)).astype(dtype) for _ in range(2)]
        images[0][1, 1, 1] = np.nan
        images[1][2, 2, 2] = -np.inf
        return [np.asfortranarray(i) for i in images] + [0.0, 1.0, 6]
    n = 2 if family.endswith("plane") else 3
    b = field((12, 10, 7)[:n], 3.3, rng, dtype)
    H = np.ones((3,) * n, dtype)
    if family.startswith("dispinvert_refine"):
        F0 = (regkern.dispinvert_plane if n == 2 else regkern.dispinvert_vol)(*b, H)
        return b + list(F0) + [6, 1e-3]
    return b + [H]


FUNCTIONS = [("remap_vol", np.float64), ("remap_vol", np.float32), ("remap_plane", np.float64),
             ("dispinvert_vol", np.float64), ("dispinvert_vol", np.float32),
             ("dispinvert_plane", np.float64), ("dispinvert_refine_vol", np.float64),
             ("dispinvert_refine_vol", np.float32), ("dispinvert_refine_plane", np.float64),
             ("jointbins", np.float64), ("jointbins", np.float32)]


@pytest.mark.parametrize("chunking", CHUNKINGS)
@pytest.mark.parametrize("family, dtype", FUNCTIONS, ids=[f"{f}-{d.__name__}" for f, d in FUNCTIONS])
def test_every_function_gives_the_in_memory_bits(family, dtype, chunking):
    rng = np.random.default_rng(abs(hash((family, dtype.__name__))) % 2**32)
    # each chunk's kernel on 2 threads once: the same bits
    threads = 2 if chunking == "thinner than the halo" else None
    chunked_against_memory(family, synthetic(family, dtype, rng), chunking, threads=threads)


def invert_field_against_memory(case, chunking):
    """An invert_field case in memory and chunked: F's bits, the summary's
    (mean_residual, summed chunk by chunk, within rounding) and the
    warnings."""
    memory, said = recorded(call_invert_field, case)
    got, said_chunked = recorded(call_invert_field, case, module=chunked,
                                 wrap=lambda c: lazy(c, chunking))
    assert_same(memory[:-1], got[:-1])
    want, have = memory[-1].reshape(-1), got[-1].reshape(-1)
    assert bits(np.delete(want, 2)) == bits(np.delete(have, 2))
    assert have[2] == pytest.approx(want[2], rel=1e-12, nan_ok=True)
    assert said_chunked == said


CASES = [c for c in read_cases() + read_cases("octave")]


@pytest.mark.parametrize("case", CASES, ids=[f"{c.plugin}-{c.name}" for c in CASES])
def test_the_shared_cases_chunked(case):
    # the other hosts' cases (hostile values, odd shapes) cut unevenly
    if case.plugin.startswith("invert_field"):
        invert_field_against_memory(case, "uneven, off the block grid")
        return
    family = case.plugin.rsplit("_", 1)[0]
    chunked_against_memory(family, case.inputs, "uneven, off the block grid")


def test_invert_field_takes_the_in_memory_steps():
    rng = np.random.default_rng(3)
    b = field((14, 9, 8), 1.2, rng)
    for chunking in ("thinner than the halo", "one voxel thick"):
        F, info = regkern.invert_field(b, steps=8, tolerance=1e-7)
        got, got_info = chunked.invert_field([lazy(c, chunking) for c in b], steps=8,
                                             tolerance=1e-7)
        assert_same(list(F), [np.asarray(f) for f in got])
        assert {k: v for k, v in got_info.items() if k != "mean_residual"} == \
            {k: v for k, v in info.items() if k != "mean_residual"}
        assert got_info["mean_residual"] == pytest.approx(info["mean_residual"], rel=1e-12)


def _sliver_calls():
    """Calls whose warnings or refusals the chunks' census decides, each
    (function, arguments, keywords); every array argument but the settings
    and kernels is cut one voxel thick."""
    rng = np.random.default_rng(29)
    shape = (9, 7, 5)
    wide = [np.asfortranarray(rng.random(shape)) for _ in range(2)]
    # values 0.02 down to 0 along the last axis, its first slice NaN: the
    # least and greatest lie in later chunks, and one chunk has no value
    z = np.arange(shape[2], dtype=np.float64)
    narrow = np.asfortranarray(np.broadcast_to(0.005 * (shape[2] - 1 - z), shape))
    narrow[..., 0] = np.nan
    # mostly just above the top of the range, the rest just below it
    above = np.asfortranarray(np.where(rng.random(shape) < 0.7, 1.5, 0.99))
    # a sliver above the bottom with one -Inf: clamped to the bottom, the
    # infinity widens the sliver from 2 % to 3 % of the bounds
    with_inf = np.asfortranarray(np.nan_to_num(narrow, nan=0.02) + 0.01)
    with_inf[3, 3, 3] = -np.inf
    x = np.arange(8.0)[:, None, None] * np.ones((8, 6, 5))
    b = [np.asfortranarray(0.3 * np.sin(x)), np.zeros((8, 6, 5), order="F"),
         np.zeros((8, 6, 5), order="F")]
    nan_kernel = np.ones((3, 3, 3))
    nan_kernel[0, 0, 0] = np.nan
    window = np.ones((3, 3, 3))
    return {
        "remap, an image in a sliver": ("remap_vol", (narrow, wide[0], narrow, wide[1], (0, 1), 8,
                                                      window, 2), {}),
        "remap, an image mostly outside": ("remap_vol", (above, wide[0], wide[1], wide[0], (0, 1),
                                                         8, window, 2), {}),
        "remap, threads 2.5": ("remap_vol", (wide[0], wide[1], wide[0], wide[1], (0, 1), 8,
                                             window, 2), {"threads": 2.5}),
        "jointbins, a sliver beside a wide image": ("jointbins", (narrow, wide[0], 0, 1, 40), {}),
        "jointbins, a sliver with -Inf": ("jointbins", (with_inf, wide[0], 0, 1, 40), {}),
        "jointbins, mostly outside": ("jointbins", (above, wide[0], 0, 1, 40), {}),
        "invert_field, a zero kernel": ("invert_field", (b, np.zeros((3, 3, 3))), {}),
        "invert_field, a NaN kernel element": ("invert_field", (b, nan_kernel), {"steps": 3}),
        "invert_field, one step short": ("invert_field", (b,), {"steps": 1, "tolerance": 1e-12,
                                                                 "method": "fixed"}),
    }


SLIVERS = _sliver_calls()


@pytest.mark.parametrize("name", SLIVERS)
def test_the_census_warns_and_refuses_alike(name):
    function, arguments, keywords = SLIVERS[name]

    def told(module, cut):
        values = [[cut(c) for c in a] if isinstance(a, list) else
                  cut(a) if isinstance(a, np.ndarray) and a.ndim == 3 and a.shape != (3, 3, 3)
                  else a for a in arguments]
        try:
            return recorded(getattr(module, function), *values, **keywords)[1]
        except (TypeError, ValueError) as error:
            return [("raised", type(error).__name__, error.identifier, str(error))]

    said = told(regkern, lambda a: a)
    assert said, "the call should warn or be refused"
    assert told(chunked, lambda a: lazy(a, "one voxel thick")) == said


def test_chunked_invert_field_needs_no_memory_for_the_whole_field(monkeypatch):
    # memory for a chunk's work but not for the whole field with its scratch
    b = field((14, 9, 8), 1.2, np.random.default_rng(7))
    monkeypatch.setenv("REGKERN_AVAILABLE_MEMORY", str(20000))
    with pytest.raises(MemoryError):
        regkern.invert_field(b, steps=2)
    F, info = chunked.invert_field([lazy(c, "one voxel thick") for c in b], steps=2)
    monkeypatch.delenv("REGKERN_AVAILABLE_MEMORY")
    want, want_info = regkern.invert_field(b, steps=2)
    assert_same(list(want), [np.asarray(f) for f in F])
    assert info["steps"] == want_info["steps"]


def test_the_joint_histogram_is_the_same_whatever_runs_it():
    rng = np.random.default_rng(5)
    images = [lazy(rng.random((40, 30, 20)), "uneven, off the block grid") for _ in range(2)]
    runs = [dask.compute(chunked.jointbins(*images, 0, 1, 16), scheduler=s)[0]
            for s in ("threads", "sync", "processes")]
    for run in runs[1:]:
        assert [bits(a) for a in run] == [bits(a) for a in runs[0]]


OCTAVE = read_cases("octave_refusals")
# refusals the chunked functions do not make: they take volumes beyond
# 2^31 - 1 elements (tooLarge), and hold no whole output (outOfMemory)
CHUNKED_TAKES = {"tooLarge", "outOfMemory"}


@pytest.mark.filterwarnings("ignore::regkern.RegkernWarning")
@pytest.mark.parametrize("case", OCTAVE, ids=[c.name for c in OCTAVE])
def test_the_bad_inputs_are_refused_alike(case):
    family = case.plugin.rsplit("_", 1)[0]
    if case.condition in CHUNKED_TAKES:
        pytest.skip(f"{case.condition}: the chunked functions take such calls")
    if case.plugin.startswith("invert_field"):
        identifier, message = f"invert_field:{case.condition}", python_text(case.message)
        thin = lambda c: lazy(c, "thinner than the halo")
        if not case.outputs:
            with pytest.raises((ValueError, TypeError)) as caught:
                call_invert_field(case, module=chunked, wrap=thin)
            assert (caught.value.identifier, str(caught.value)) == (identifier, message)
        else:
            assert recorded(call_invert_field, case, module=chunked, wrap=thin)[1] == \
                [(identifier, message)]
        return
    settings = {"remap": (4, 5, 7), "dispinvert_refine": (6, 7) if "vol" in family else (4, 5),
                "jointbins": (2, 3, 4)}
    setting = next((v for k, v in settings.items() if family.startswith(k)), ())
    inputs = []
    for k, value in enumerate(case.inputs):
        if k in setting and value.size == 1:
            inputs.append(float(value.reshape(-1)[0]))
        elif k in setting and value.size == 2:
            inputs.append([float(v) for v in value.reshape(-1, order="F")])
        else:
            inputs.append(value if k in SMALL[family] else lazy(value, "thinner than the halo"))
    identifier, message = f"{case.plugin}:{case.condition}", python_text(case.message)
    if not case.outputs:
        with pytest.raises((ValueError, TypeError, MemoryError, RuntimeError)) as caught:
            recorded(getattr(chunked, family), *inputs)
        assert (caught.value.identifier, str(caught.value)) == (identifier, message)
        return
    outputs, said = recorded(getattr(chunked, family), *inputs)
    assert said == [(identifier, message)]


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", protocol="tcp", memory_limit="350MB",
                                  dashboard_address=None) as local:
        with distributed.Client(local) as client:
            yield client


def test_a_cluster_of_processes_gives_the_same_bits(cluster, tmp_path):
    # a field of 3 x 320 x 320 x 160 float32 (196 MB in, as much out) on 2
    # worker processes of 350 MB each, zarr on disk in and out; the splat
    # without spreading (H = 1) keeps the kernel's time small
    zarr = pytest.importorskip("zarr")
    shape, chunks = (320, 320, 160), (128, 128, 80)
    b = field(shape, 2.5, np.random.default_rng(11), np.float32)
    stored = []
    for k, c in enumerate(b):
        z = zarr.open(str(tmp_path / f"b{k}.zarr"), mode="w", shape=shape, chunks=chunks,
                      dtype=c.dtype)
        z[...] = c
        stored.append(z)
    memory = regkern.dispinvert_vol(*b, 1)
    F = chunked.dispinvert_vol(*stored, 1)
    threaded = dask.compute(*F, scheduler="threads")
    outputs = [str(tmp_path / f"F{k}.zarr") for k in range(3)]
    dask.compute(*[f.to_zarr(path, compute=False) for f, path in zip(F, outputs)])  # on the cluster
    for want, local, path in zip(memory, threaded, outputs):
        assert bits(np.asarray(zarr.open(path, mode="r"))) == bits(want) == bits(local)
    joint = chunked.jointbins(stored[0], stored[1], -2.5, 2.5, 32)
    on_cluster, = dask.compute(joint)
    threaded, = dask.compute(joint, scheduler="threads")
    assert [bits(a) for a in on_cluster] == [bits(a) for a in threaded]
