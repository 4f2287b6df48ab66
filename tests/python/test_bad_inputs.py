"""Bad inputs through Python: the calls Octave's suite refuses or warns
about (tests/octave/test_bad_inputs.m writes them) give the same condition
and message here, mapped to Python's exceptions and RegkernWarning; what
only Python can pass wrong (dtypes, layouts, the threads keyword) is
refused with a TypeError or ValueError that says how to fix the call; and
no input crashes the interpreter."""
import os
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

import regkern
import shared_cases
from regkern._front import python_text
from shared_cases import call, read_cases, reporter, same_results

OCTAVE = read_cases("octave_refusals")
EXCEPTIONS = {"outOfMemory": MemoryError, "threadStart": RuntimeError}
# What Python's messages never say: Octave's calls and intervals.
OCTAVE_NOTATION = re.compile(r"im2double|(?<![\w.])ones\(|single\(|double\(|\[-?\d[^\]]* -?\d[^\]]*\]|\bInf\b|\bNaN\b")


@pytest.mark.parametrize("case", OCTAVE, ids=[c.name for c in OCTAVE])
def test_the_octave_suites_calls(case):
    name = reporter(case)
    identifier = f"{case.plugin if name != 'invert_field' else name}:{case.condition}"
    # the function's help lists what it may raise or warn
    assert case.condition in getattr(regkern, name).__doc__
    if not case.outputs:  # refused
        with pytest.raises(EXCEPTIONS.get(case.condition, ValueError)) as caught:
            call(case)
        assert (caught.value.identifier, str(caught.value)) == (identifier,
                                                                 python_text(case.message))
        assert not OCTAVE_NOTATION.search(str(caught.value)), str(caught.value)
        return
    with pytest.warns(regkern.RegkernWarning) as record:
        outputs = call(case)
    assert [(w.message.identifier, str(w.message)) for w in record] == [
        (identifier, python_text(case.message))]
    assert not OCTAVE_NOTATION.search(str(record[0].message)), str(record[0].message)
    assert record[0].filename == shared_cases.__file__  # the caller's line, not regkern's
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
                          "nonFiniteBounds", "equalBounds", "narrowData", "manyBins",
                          "partnerShape"}


F = np.ones((4, 3, 2), order="F")
P = np.ones((4, 3), order="F")
CALLS = {
    "remap_vol": lambda A=F, B=F, weights=F, range=(0, 1), bins=8:
        regkern.remap_vol(A, B, F, F, range, bins, weights, 2),
    "remap_plane": lambda A=P, B=P, weights=P: regkern.remap_plane(A, B, P, P, (0, 1), 8, weights, 2),
    "dispinvert_vol": lambda bx=F, bz=F, H=1: regkern.dispinvert_vol(bx, F, bz, H),
    "dispinvert_refine_plane": lambda steps=2, tol=1e-3:
        regkern.dispinvert_refine_plane(P, P, P, P, steps, tol),
    "jointbins": lambda image1=F, lower=0, bins=8: regkern.jointbins(image1, F, lower, 1, bins),
    "mutual_information": lambda joint=np.eye(2), h1=None, base="e":
        regkern.mutual_information(joint, h1, None, base),
    "invert_field": lambda b=(F, F, F), **options: regkern.invert_field(b, **options),
}
MASKED = np.ma.masked_array(F, mask=F > 2)
MASKED[0, 0, 0] = np.ma.masked
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
     "H (input 4) is the str '1'; pass a NumPy array of floating-point numbers, not a string"),
    ("jointbins", {"bins": "eight"}, TypeError, "jointbins_f64:badClass",
     "bins (input 5) is the str 'eight'; pass a number, not a string"),
    ("jointbins", {"image1": [1, 2]}, TypeError, "jointbins_f64:badClass",
     "image1 (input 1) is a list of int64 values; pass np.asarray(image1, dtype=np.float64) "
     "or np.asarray(image1, dtype=np.float32)"),
    # settings: numbers, never strings, bools or None; a range is two of them
    ("remap_vol", {"bins": "32"}, TypeError, "remap_vol_f64:badClass",
     "bins (input 6) is the str '32'; pass a number, not a string"),
    ("remap_vol", {"range": ("0", "1")}, TypeError, "remap_vol_f64:badClass",
     "range (input 5) holds strings, ('0', '1'); pass numbers, not strings"),
    ("dispinvert_refine_plane", {"tol": "1e-4"}, TypeError, "dispinvert_refine_plane_f64:badClass",
     "tol (input 6) is the str '1e-4'; pass a number, not a string"),
    ("remap_vol", {"range": (0, 1, 2)}, ValueError, "remap_vol_f64:badRange",
     "range (input 5) has 3 elements; pass two, (min, max), e.g. (0, 1)"),
    ("remap_vol", {"bins": [8, 9]}, TypeError, "remap_vol_f64:badClass",
     "bins (input 6) holds 2 numbers; pass one number"),
    ("jointbins", {"bins": True}, TypeError, "jointbins_f64:badClass",
     "bins (input 5) is bool (True); pass a number (True is not taken for 1)"),
    ("dispinvert_vol", {"H": True}, TypeError, "dispinvert_vol_f64:badClass",
     "H (input 4) is bool (True); pass a NumPy array of floating-point numbers (True is not "
     "taken for 1)"),
    ("dispinvert_refine_plane", {"steps": None}, TypeError, "dispinvert_refine_plane_f64:badClass",
     "steps (input 5) is None; pass a number"),
    # complex values in any position
    ("remap_vol", {"B": F + 1j}, TypeError, "remap_vol_f64:complex",
     "B (input 2) is complex128; pass B.real"),
    ("dispinvert_vol", {"H": np.ones(2) * 1j}, TypeError, "dispinvert_vol_f64:complex",
     "H (input 4) is complex128; pass H.real"),
    ("jointbins", {"lower": 0j}, TypeError, "jointbins_f64:complex",
     "lower (input 3) is complex128; pass lower.real"),
    # a mask the kernels would not see
    ("jointbins", {"image1": MASKED}, TypeError, "jointbins_f64:badClass",
     "image1 (input 1) is a masked array whose mask hides 1 element, which the kernels would "
     "read; pass image1.filled(np.nan) (a NaN counts nowhere), or index the images with the mask"),
    # a 1-D window for a plane is a column in the kernels' reading
    ("remap_plane", {"weights": np.ones(21)}, ValueError, "remap_plane_f64:missingAxes",
     "weights (input 7) has shape (21,), fewer axes than A (input 1)'s (4, 3): it would be "
     "read as (21, 1); pass weights with 2 axes, e.g. np.ones((21, 21)) for a cube window, or "
     "weights.reshape((21, 1)) for what it is read as"),
    # mutual_information: histograms, counts or shares
    ("mutual_information", {"joint": -np.eye(2)}, ValueError, "mutual_information:badHistogram",
     "joint (input 1) has 2 negative elements (least -1); pass a histogram: counts or shares, "
     "none below 0"),
    ("mutual_information", {"joint": np.zeros((2, 2))}, ValueError,
     "mutual_information:badHistogram",
     "joint (input 1) sums to 0: it holds no sample; pass the histogram of images that hold "
     "samples"),
    ("mutual_information", {"h1": [1, 2, 3]}, ValueError, "mutual_information:sizeMismatch",
     "joint (input 1) has shape (2, 2), h1 (input 2) 3 and h2 (input 3) 2 elements; pass the "
     "three outputs of one jointbins call ((B, B), B and B)"),
    ("mutual_information", {"base": 2}, ValueError, "mutual_information:badUnit",
     "base (input 4) is 2; pass 'e' or 'bits'"),
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
    same_results(list(good), regkern.jointbins(F, F, 0, 1, 8, threads=3.0))  # whole
    for threads, kind, condition in ((0, ValueError, "badThreads"), (-2, ValueError, "badThreads"),
                                     (2.5, ValueError, "badThreads"), (True, TypeError, "badClass"),
                                     ("2", TypeError, "badClass")):
        with pytest.raises(kind, match="threads is") as caught:
            regkern.dispinvert_vol(F, F, F, 1, threads=threads)
        assert caught.value.identifier == "dispinvert_vol_f64:" + condition


def test_layouts_shapes_and_warnings_as_python_has_them():
    # an unaligned Fortran-ordered array (at an odd offset) is copied, not refused
    raw = np.arange(1, 25, dtype=np.float64) / 25
    odd = np.frombuffer(b"\0" + raw.tobytes(), np.float64, 24, 1).reshape((4, 3, 2), order="F")
    assert odd.flags.f_contiguous and not odd.flags.aligned
    same_results(list(regkern.jointbins(raw.reshape((4, 3, 2), order="F"), F, 0, 1, 8)),
                 regkern.jointbins(odd, F, 0, 1, 8))
    # a masked array that hides nothing is its data
    same_results(list(regkern.jointbins(F, F, 0, 1, 8)),
                 regkern.jointbins(np.ma.masked_array(F), F, 0, 1, 8))
    # 2-D input to every volume function: outputs of the input's shape
    o = np.zeros((4, 3))
    assert {a.shape for a in regkern.remap_vol(P, P, P, P, (0, 1), 8, np.ones((3, 3)), 2)} == {(4, 3)}
    assert {a.shape for a in regkern.dispinvert_vol(P, o, o, 1)} == {(4, 3)}
    *field, done = regkern.dispinvert_refine_vol(P, o, o, o, o, o, 1, 0.0)
    assert {a.shape for a in field} == {(4, 3)} and type(done) is int
    # a warning names the caller's line, so -W error and filters by module apply,
    # also from inside invert_field
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        regkern.dispinvert_plane(P, P.T, 1)
        regkern.invert_field((0.3 * np.sin(np.arange(4.0))[:, None] * P, 0 * P), steps=1,
                             tolerance=1e-12, method="fixed")
    assert [w.message.condition for w in record] == ["partnerShape", "notConverged"]
    assert {w.filename for w in record} == {__file__}
    with warnings.catch_warnings():
        warnings.filterwarnings("error", category=regkern.RegkernWarning, module=__name__)
        with pytest.raises(regkern.RegkernWarning):
            regkern.remap_plane(P, P, P, P, (0, 1), 8, 0 * P, 2)


def test_mutual_information_as_octave_computes_it():
    joint, h1, h2 = regkern.jointbins(np.array([1, 6.5]), np.array([3.0, 8]), 0, 8, 4)
    assert regkern.mutual_information(joint, h1, h2) == pytest.approx(np.log(2), abs=1e-15)
    assert regkern.mutual_information(joint, h1, h2, "bits") == pytest.approx(1, abs=1e-15)
    # counts with marginals of other sums: each histogram by its own sum
    counts = np.array([[3.0, 1.0], [0.0, 4.0]])
    shares = counts / 8
    expected = sum(p * np.log(p / (shares.sum(1)[i] * shares.sum(0)[j]))
                   for (i, j), p in np.ndenumerate(shares) if p > 0)
    for h1, h2 in ((counts.sum(1), shares.sum(0)), (10 * shares.sum(1), None), (None, None)):
        assert regkern.mutual_information(counts, h1, h2) == pytest.approx(expected, rel=1e-14)
    assert np.isnan(regkern.mutual_information(np.full((2, 2), np.nan)))


def test_version_is_the_packages():
    description = Path(os.environ["REGKERN_SOURCE_DIR"], "package", "DESCRIPTION").read_text()
    assert f"Version: {regkern.__version__}\n" in description


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
