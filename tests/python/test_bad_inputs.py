"""Bad inputs through Python: the calls Octave's suite refuses or warns
about (tests/octave/test_bad_inputs.m writes them) give the same condition
and message here, mapped to Python's exceptions and RegkernWarning; what
only Python can pass wrong (dtypes, layouts, the threads keyword) is
refused with a TypeError or ValueError that says how to fix the call; and
no input crashes the interpreter."""
import warnings

import numpy as np
import pytest

import regkern
from shared_cases import call, read_cases, reporter, same_results

OCTAVE = read_cases("octave_refusals")
EXCEPTIONS = {"outOfMemory": MemoryError, "threadStart": RuntimeError}


@pytest.mark.parametrize("case", OCTAVE, ids=[c.name for c in OCTAVE])
def test_the_octave_suites_calls(case):
    name = reporter(case)
    identifier = f"{case.plugin if name != 'invert_field' else name}:{case.condition}"
    # the function's help lists what it may raise or warn
    assert case.condition in getattr(regkern, name).__doc__
    if not case.outputs:  # refused
        with pytest.raises(EXCEPTIONS.get(case.condition, ValueError)) as caught:
            call(case)
        assert (caught.value.identifier, str(caught.value)) == (identifier, case.message)
        return
    with pytest.warns(regkern.RegkernWarning) as record:
        outputs = call(case)
    assert [(w.message.identifier, str(w.message)) for w in record] == [(identifier, case.message)]
    same_results(case.outputs, outputs)
    # a warning turned into an error fails the call
    with warnings.catch_warnings():
        warnings.simplefilter("error", regkern.RegkernWarning)
        with pytest.raises(regkern.RegkernWarning):
            call(case)


def test_both_suites_cover_every_condition():
    conditions = {c.condition for c in OCTAVE}
    assert conditions >= {"sizeMismatch", "empty", "badRange", "badBins", "badSpacing",
                          "tooLarge", "zeroWeights", "zeroKernel", "extraSlices",
                          "nonFiniteBounds", "equalBounds"}


F = np.ones((4, 3, 2), order="F")
P = np.ones((4, 3), order="F")
CALLS = {
    "remap_vol": lambda A=F, B=F, weights=F: regkern.remap_vol(A, B, F, F, (0, 1), 8, weights, 2),
    "remap_plane": lambda A=P, B=P: regkern.remap_plane(A, B, P, P, (0, 1), 8, P, 2),
    "dispinvert_vol": lambda bx=F, H=1: regkern.dispinvert_vol(bx, F, F, H),
    "jointbins": lambda image1=F, bins=8: regkern.jointbins(image1, F, 0, 1, bins),
    "invert_field": lambda b=(F, F, F), **options: regkern.invert_field(b, **options),
}
# (call, arguments, exception, identifier, message)
PYTHON_ONLY = [
    ("remap_vol", {"A": F.astype(np.int16)}, TypeError, "remap_vol_f64:badClass",
     "A (input 1) is int16; pass A.astype(np.float64) or A.astype(np.float32)"),
    ("remap_plane", {"A": P.astype(np.float32)}, TypeError, "remap_plane_f64:badClass",
     "A (input 1) is float32 and remap_plane has no float32 arithmetic; "
     "pass A.astype(np.float64)"),
    ("remap_vol", {"A": F.astype(np.float32)}, TypeError, "remap_vol_f32:badClass",
     "B (input 2) is float64 while A (input 1) is float32; pass B.astype(np.float32)"),
    ("remap_vol", {"weights": F > 0}, TypeError, "remap_vol_f64:badClass",
     "weights (input 7) is bool while A (input 1) is float64; pass weights.astype(np.float64)"),
    ("dispinvert_vol", {"bx": F + 1j}, TypeError, "dispinvert_vol_f64:complex",
     "bx (input 1) is complex128; pass bx.real"),
    ("dispinvert_vol", {"H": "1"}, TypeError, "dispinvert_vol_f64:badClass",
     "H (input 4) is <U1 while bx (input 1) is float64; pass H.astype(np.float64)"),
    ("jointbins", {"bins": "eight"}, TypeError, "jointbins_f64:badClass",
     "bins (input 5) is str; pass a number (or a sequence of numbers)"),
    ("jointbins", {"image1": [1, 2]}, TypeError, "jointbins_f64:badClass",
     "image1 (input 1) is int64; pass image1.astype(np.float64) or image1.astype(np.float32)"),
    ("invert_field", {"b": (F, F.astype(np.float32), F)}, TypeError, "invert_field:badField",
     "b must be (bx, by, bz) or (bx, by), arrays all float64 or all float32 (float64, float32, "
     "float64); pass [np.asarray(c, dtype=np.float64) for c in b]"),
    ("invert_field", {"tolerance": (1e-4, 1e-3)}, ValueError, "invert_field:badTolerance",
     "tolerance holds 2 values; pass one, a finite tolerance of at least 0, e.g. 1e-4"),
    ("invert_field", {"tolerance": "1e-4"}, TypeError, "invert_field:badClass",
     "tolerance is str; pass a number, e.g. 1e-4"),
    ("invert_field", {"H": True}, TypeError, "invert_field:badClass",
     "kernel is bool; pass a number, e.g. 1"),
    ("invert_field", {"threads": True}, TypeError, "invert_field:badClass",
     "threads is bool; pass a number, e.g. 2"),
    ("invert_field", {"method": "Quick"}, ValueError, "invert_field:badMethod",
     "method is 'Quick'; pass 'newton' or 'fixed'"),
]


@pytest.mark.parametrize("name, arguments, kind, identifier, message", PYTHON_ONLY)
def test_what_only_python_can_pass_wrong(name, arguments, kind, identifier, message):
    with pytest.raises(kind) as caught:
        CALLS[name](**arguments)
    assert (caught.value.identifier, str(caught.value)) == (identifier, message)


def test_threads_keyword():
    good = regkern.jointbins(F, F, 0, 1, 8, threads=3)
    same_results(list(good), regkern.jointbins(F, F, 0, 1, 8))
    for threads, kind in ((0, ValueError), (-2, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(kind, match="threads is"):
            regkern.dispinvert_vol(F, F, F, 1, threads=threads)


def test_odd_shapes_are_refused_or_computed_never_crash():
    huge = np.broadcast_to(np.float64(0), (2**31, 0))  # no elements, one extent past int32
    with pytest.raises(ValueError) as caught:
        regkern.jointbins(huge, F, 0, 1, 8)
    assert caught.value.condition == "tooLarge"
    joint, h1, h2 = regkern.jointbins(np.float64(2.5), [3.0], 0, 4, 4)
    assert h1.shape == (4,) and joint.shape == (4, 4) and joint.flags.f_contiguous
    Fx, Fy = regkern.dispinvert_plane(np.zeros((0, 5)), np.zeros(0), np.ones((0, 0, 3)))
    assert Fx.shape == (0, 5)
    with pytest.raises(ValueError) as caught:
        regkern.remap_vol(np.zeros(()), F, F, F, (0,), 8, 1, 2)
    assert caught.value.condition == "badRange"


def test_out_of_memory_is_a_memory_error():
    # 46340 x 46340 bins of float64, twice over, are 34 GB: refused before
    # any allocation where less is available
    with open("/proc/meminfo") as meminfo:
        available = next(int(l.split()[1]) for l in meminfo if l.startswith("MemAvailable"))
    if available * 1024 > 30e9:
        pytest.skip("this machine has the memory for the call")
    with pytest.raises(MemoryError) as caught:
        regkern.jointbins(F, F, 0, 1, 46340)
    assert caught.value.identifier == "jointbins_f64:outOfMemory"


@pytest.mark.filterwarnings("ignore::regkern.RegkernWarning")
def test_random_calls_are_refused_or_computed():
    """Random shapes (0 to 4 axes, extents 0 to 3), dtypes, layouts and
    values, settings included: each call returns or raises one of the
    documented exceptions, with the plug-in's identifier."""
    rng = np.random.default_rng(7)
    values = np.array([np.nan, np.inf, -np.inf, -1, 0, 0.5, 1, 2, 3.5, 8, 1e30, -1e-30])
    dtypes = [np.float64, np.float64, np.float32, np.float32, np.int32, np.bool_, np.complex128]

    def random_array(dtype):
        shape = tuple(rng.integers(0, 4, rng.integers(0, 5)))
        with np.errstate(invalid="ignore", over="ignore"):
            array = rng.choice(values, size=shape).astype(dtype)
        layout = rng.integers(0, 3)
        if layout == 1 and array.ndim:
            return array[::-1]
        return np.asfortranarray(array) if layout == 0 else np.ascontiguousarray(array)

    def random_setting(dtype):
        return random_array(dtype) if rng.random() < 0.3 else float(rng.choice(values))

    functions = [(regkern.remap_vol, 8, (4, 5, 7)), (regkern.remap_plane, 8, (4, 5, 7)),
                 (regkern.dispinvert_vol, 4, ()), (regkern.dispinvert_plane, 3, ()),
                 (regkern.dispinvert_refine_vol, 8, (6, 7)),
                 (regkern.dispinvert_refine_plane, 6, (4, 5)),
                 (regkern.jointbins, 5, (2, 3, 4))]
    outcomes = set()
    for _ in range(600):
        function, count, settings = functions[rng.integers(len(functions))]
        dtype = dtypes[rng.integers(len(dtypes))] if rng.random() < 0.2 else np.float64
        arguments = [random_setting(dtype) if k in settings else random_array(dtype)
                     for k in range(count)]
        try:
            outputs = function(*arguments, threads=int(rng.integers(1, 4)))
            assert all(o.flags.f_contiguous for o in outputs if not isinstance(o, int))
            outcomes.add("computed")
        except (TypeError, ValueError, MemoryError) as error:
            assert error.identifier.startswith(function.__name__ + "_"), error
            outcomes.add(type(error).__name__)
    assert outcomes == {"computed", "TypeError", "ValueError"}
