// regkern._core: the Python front end of the host-free core, one function
// per plug-in, called by regkern/_front.py.
//
// Each function takes the plug-in's inputs as a tuple of NumPy arrays of its
// element type, aligned and Fortran-ordered (the package lays them out so),
// and the thread count, and returns (outputs, failure, warnings): the output
// arrays (optional ones included) or None, (condition, message) of a refused call or None, and a list
// of (condition, message). The package raises and warns: the messages and
// conditions are the core's, the same as every host's.
//
// Region entries, for the chunked front end (private: underscore names).
// Each computes a box of a call's outputs, bit for bit the whole call's on
// that box, from inputs that cover the box and its halo. Whole-grid
// coordinates throughout, the first axis first (x, y(, z)): `grid` the whole
// grid's extents (each up to 2^31 - 1; their product may exceed it),
// `origin` where the inputs' first point lies, [lo, hi) the box (at most
// 2^31 - 1 points). The inputs are the plug-in's, the images or field
// components cut to the part they cover (the same layout as above); each is
// checked as the whole call checks its inputs, then the region: wrong
// counts or a box outside the grid fail `regionArguments`, inputs that do
// not cover the box and its halo (clipped at the grid's faces) or reach past
// the grid fail `regionNotCovered`. Region entries return (outputs shaped
// hi - lo, failure, warnings) as the plug-ins do, and issue no warnings: the
// front end issues the whole call's (its check once per call, its census
// from the chunks, below).
//
//   _splat_region_vol_f64 / _vol_f32 / _plane_f64(inputs, grid, origin, lo,
//       hi, max_abs_b, threads): the field inversion's box; inputs (bx, by(,
//       bz), H); max_abs_b per axis the largest |b| of the whole field's
//       finite samples (NaN or Inf ask for the whole axis).
//   _splat_halo(max_abs_b, kernel_extent, grid, single) -> [(below, above)]
//       per axis: the box [lo, hi) needs the samples of [lo - below, hi +
//       above) (dispinvert_region.h): below = C + K - floor(K/2), above = C +
//       floor(K/2), C = ceil(max |b|) (plus the rounding in single).
//   _remap_region_vol_f64 / _vol_f32 / _plane_f64(inputs, grid, origin, lo,
//       hi, threads): the remapping's box; inputs (A, B, C, D, range, bins,
//       weights, spacing) with A..D cut to the part they cover.
//   _remap_halo(spacing, window, single) -> [(below, above)] per axis:
//       below = ceil(s) + h + 1, above = ceil(s) + w - h, s the half span
//       (spacing - 1)/2, h = (w - 1)/2 (remap_region.h).
//   _remap_chunk_edges(extent, spacing, window, target, single) -> edges
//       along one axis, [0, ..., extent], each the first voxel a block writes
//       at or past a multiple of target: chunks between them gather every
//       block's histograms once (any box is exact; these are fast).
//   outOfRange and narrowData, once per call: _remap_census_f64/_f32(images,
//       min, max) -> per distinct image chunk (inside, least, greatest): its
//       voxels inside [min, max], summed over chunks, and its least and
//       greatest value that is not NaN, fmin and fmax over chunks;
//       _remap_outside_f64/_f32(census, min, max) with per distinct image
//       (input 0..3 for A..D, voxels, inside, least, greatest, finite,
//       finite least, finite greatest) -> (warnings, needs): needs names the
//       inputs whose finite census (_finite_census_f64/_f32(image chunk) ->
//       (finite, least, greatest), summed, fmin, fmax over chunks) must be
//       filled in (None until then) before the warnings are told; then
//       warnings are the whole call's.
//   _jointbins_partial_f64/_f32(inputs, threads): a chunk of samples
//       (image1, image2 cut alike, lower, upper, bins) -> outputs (joint,
//       first, second, census): the chunk's unnormalised sums and census =
//       (count, finite1, outside1, finite2, outside2).
//   _jointbins_outside_f64/_f32(census list, lower, upper) -> [named1,
//       named2]: the images mostly outside the bounds.
//   _jointbins_extremes_f64/_f32(image chunk, lower, upper) -> (least,
//       greatest, spread least, spread greatest): the finite extremes and
//       the least and greatest value that is not NaN; least by fmin,
//       greatest by fmax over chunks.
//   _jointbins_combine_f64/_f32(partials, census, lower, upper, bins,
//       extremes) -> (outputs, failure, warnings): partials [(joint, first,
//       second)] in chunk order, summed in double in that order, rounded
//       once and divided by the total count; extremes [(least, greatest) or
//       None] per image. Deterministic for a given chunking; the bound
//       against the in-memory call is in jointbins_region.h.
//
// Private, for the chunked front end: refine_pass_vol_f64, refine_pass_vol_f32
// and refine_pass_plane_f64 (b, F, origin, whole, b_origin, method, threads)
// run ONE pass of the refinement (method "fixed_point" or "newton") over a
// box of a larger grid, bit for bit the whole pass on that box. F is a tuple
// of N arrays on the box (F_k), whose first point is `origin` in the whole
// grid of extents `whole`; b a tuple of N arrays of the sub-array of the
// whole b whose first point is `b_origin` (all three tuples of N ints,
// 0-based). b must cover the box and a halo of ceil(max |F_k|) + 1 points on
// every side, clipped at the whole grid's faces (a point whose F has an
// infinite component reads b at the face that infinity points to); a read
// outside b is refused (haloTooThin), never made. Returns (outputs, failure,
// warnings) as above, outputs = ((F_{k+1} components), r_k, largest): the
// box's largest finite residual, whose maximum over the boxes is the whole
// pass's for the stopping rule (steps done: the pass whose maximum is at
// most the tolerance, or the last allowed; a point whose r_k is not finite
// keeps its value in F_{k+1}).
// refine_warning_vol_f64, refine_warning_vol_f32 and refine_warning_plane_f64
// (largest, steps, tol) give the warnings (a list of (condition, message))
// that the whole call would raise after the passes whose largest residuals
// (the maxima over the boxes) are `largest`, in order: notConverged with the
// first growth named, or nothing (an empty list for an empty grid).
//
// Also private, for the chunked front end: _check_<plug-in>(inputs) runs a
// plug-in's check alone on stand-ins of the whole call's shapes -> (failure,
// warnings); _refinement_warnings_<vol_f64|vol_f32|plane_f64>(steps, tol,
// steps_done, max_residual, grew_at, before_growth, after_growth) ->
// warnings: the whole refinement's notConverged for an outcome reached pass
// by pass; _check_invert_field_<vol_f64|vol_f32|plane_f64>(inputs) as
// _check_<plug-in> for invert_field's compiled call, and
// _invert_field_warnings_<...>(steps, tol, steps_done, max_residual,
// grew_at, before_growth, after_growth, unrefined, start_not_finite,
// points) -> its notConverged and unrefined warnings.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <string>
#include <vector>

#include "dispinvert_core.h"
#include "dispinvert_invert_core.h"
#include "dispinvert_refine_core.h"
#include "dispinvert_region.h"
#include "failure.h"
#include "jointbins_core.h"
#include "jointbins_region.h"
#include "plain_array.h"
#include "remap_core.h"
#include "remap_region.h"

namespace py = pybind11;

namespace regkern {
namespace {

// The package hands over only arrays the core can read in place; anything
// else reaching this module (a direct call of regkern._core) is refused, not
// read out of bounds.
template <class T>
PlainArray python_input(const py::handle& value, InputName input)
{
    constexpr int readable = py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_ |
                             py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if (!py::isinstance<py::array_t<T>>(value) ||
        (py::reinterpret_borrow<py::array>(value).flags() & readable) != readable)
        throw py::type_error(label(input) + " is not an aligned, Fortran-ordered array of " +
                             (sizeof(T) == 8 ? "float64" : "float32") +
                             "; call regkern's functions, not regkern._core");
    const py::array array = py::reinterpret_borrow<py::array>(value);
    return plain_array(array.data(), static_cast<uint64_t>(array.size()), array.shape(),
                       static_cast<int64_t>(array.ndim()));
}

template <class T>
py::array new_output(const OutputShape& shape, bool zero_fill)
{
    py::list extents;
    for (int a = 0; a < shape.ndims; ++a) extents.append(shape.extent[a]);
    // numpy.zeros takes pages the system has zeroed, not a serial fill.
    const py::module_ numpy = py::module_::import("numpy");
    return numpy.attr(zero_fill ? "zeros" : "empty")(extents, py::dtype::of<T>(), "F");
}

py::tuple failure_of(const Failure& failure)
{
    return py::make_tuple(failure.condition, failure.message);
}

py::list warnings_of(const GatewayWarnings& warnings)
{
    py::list list;
    for (int k = 0; k < warnings.count; ++k)
        list.append(py::make_tuple(warnings.condition[k], warnings.message[k]));
    return list;
}

// A Failure for what the core throws: its own Failure, or the standard
// library's failures as the core names them (outOfMemory, threadStart).
Failure caught_failure()
{
    try {
        rethrow_as_failure();
    } catch (const Failure& failure) {
        return failure;
    }
}

// Checks the inputs with `check` (inputs, warnings) -> plan, creates the
// outputs and runs `run` (plan, outputs, threads, warnings) on them.
// Runs `work` (a kernel) without the interpreter lock and reports as every
// function of the module does: (outputs, None, warnings), or (None,
// (condition, message), warnings) when it failed.
template <class Work>
py::tuple run_unlocked(Work work, const py::tuple& outputs, const GatewayWarnings& warnings)
{
    bool failed = false;
    Failure failure;
    {
        py::gil_scoped_release unlocked;
        try {
            work();
        } catch (...) {
            failed = true;
            failure = caught_failure();
        }
    }
    if (failed) return py::make_tuple(py::none(), failure_of(failure), warnings_of(warnings));
    return py::make_tuple(outputs, py::none(), warnings_of(warnings));
}

template <class Call, class Check, class Run>
py::tuple checked_call(const py::tuple& values, double threads, Check check, Run run)
{
    using T = typename Call::Element;
    const CallSignature& signature = Call::signature;
    if (static_cast<int>(values.size()) != signature.inputs)
        throw py::type_error(std::string(signature.input_count_message));
    std::array<PlainArray, Call::input_count> inputs;
    for (int k = 0; k < signature.inputs; ++k)
        inputs[k] = python_input<T>(values[k], signature.names[k]);

    GatewayWarnings warnings;
    typename Call::Plan plan;
    try {
        plan = check(inputs.data(), warnings);
    } catch (...) {
        return py::make_tuple(py::none(), failure_of(caught_failure()), warnings_of(warnings));
    }

    py::tuple outputs(signature.outputs);
    std::array<T*, Call::output_count> data;
    for (int k = 0; k < signature.outputs; ++k) {
        py::array output = new_output<T>(plan.output[k], plan.zero_fill);
        data[k] = static_cast<T*>(output.mutable_data());
        outputs[k] = std::move(output);
    }
    // The tuples keep the inputs and outputs alive (and an input's resize
    // refused) while the kernel runs without the interpreter lock.
    return run_unlocked([&] { run(plan, data.data(), threads, warnings); }, outputs, warnings);
}

// The whole call's check alone, for the chunked front end (regkern.chunked):
// it checks a call over a volume it never holds, whose large inputs are
// stand-ins of their shapes (their values are never read: the warnings the
// data decide come from the run). Returns (failure, warnings).
template <class Call>
py::tuple check_only(const py::tuple& values)
{
    using T = typename Call::Element;
    const CallSignature& signature = Call::signature;
    if (static_cast<int>(values.size()) != signature.inputs)
        throw py::type_error(std::string(signature.input_count_message));
    std::array<PlainArray, Call::input_count> inputs;
    for (int k = 0; k < signature.inputs; ++k)
        inputs[k] = python_input<T>(values[k], signature.names[k]);
    GatewayWarnings warnings;
    try {
        Call::check(inputs.data(), warnings);
    } catch (...) {
        return py::make_tuple(failure_of(caught_failure()), warnings_of(warnings));
    }
    return py::make_tuple(py::none(), warnings_of(warnings));
}

// The N ints of a region's corner or extent.
template <int N>
std::array<int32_t, N> region_extents(const py::tuple& values, const char* name)
{
    if (static_cast<int>(values.size()) != N)
        throw py::type_error(std::string(name) + " must be a tuple of " + std::to_string(N) +
                             " ints");
    std::array<int32_t, N> extents;
    for (int a = 0; a < N; ++a) extents[a] = values[a].cast<int32_t>();
    return extents;
}

// One refinement pass over a box: see the header comment.
template <class T, int N>
py::tuple refine_pass(const py::tuple& b, const py::tuple& start, const py::tuple& origin,
                      const py::tuple& whole, const py::tuple& b_origin, const std::string& method,
                      double threads)
{
    if (static_cast<int>(b.size()) != N || static_cast<int>(start.size()) != N)
        throw py::type_error("b and F must be tuples of " + std::to_string(N) + " arrays");
    if (method != "fixed_point" && method != "newton")
        throw py::value_error("method must be 'fixed_point' or 'newton'");
    const InputName b_names[3] = {{"bx", 1}, {"by", 2}, {"bz", 3}};
    const InputName f_names[3] = {{"Fx", 1}, {"Fy", 2}, {"Fz", 3}};
    FieldRefinement<T, N> job = {};
    job.origin = region_extents<N>(origin, "origin");
    job.whole = region_extents<N>(whole, "whole");
    job.backward_origin = region_extents<N>(b_origin, "b_origin");
    job.method = method == "newton" ? RefinementMethod::newton : RefinementMethod::fixed_point;
    std::array<py::array, N> F_next;
    py::array r;
    double largest = 0;
    try {
        for (int a = 0; a < N; ++a) {
            const PlainArray bi = python_input<T>(b[a], b_names[a]);
            const PlainArray fi = python_input<T>(start[a], f_names[a]);
            const py::array b_array = py::reinterpret_borrow<py::array>(b[a]);
            const py::array f_array = py::reinterpret_borrow<py::array>(start[a]);
            if (b_array.ndim() != N || f_array.ndim() != N)
                fail("badRegion", "b and F must have " + std::to_string(N) + " axes each");
            for (int j = 0; j < N; ++j) {
                const int32_t be = static_cast<int32_t>(b_array.shape(j));
                const int32_t fe = static_cast<int32_t>(f_array.shape(j));
                if ((a > 0 && (be != job.backward_grid[j] || fe != job.grid[j])) ||
                    b_array.shape(j) > INT32_MAX || f_array.shape(j) > INT32_MAX)
                    fail("badRegion", "the components of b (and of F) must have one shape");
                job.backward_grid[j] = be;
                job.grid[j] = fe;
            }
            job.backward[a] = data_of<T>(bi);
            job.start[a] = data_of<T>(fi);
        }
        check_refinement_region<T, N>(job);
    } catch (const Failure& failure) {
        return py::make_tuple(py::none(), failure_of(failure), py::list());
    }
    OutputShape shape = {N, {0, 0, 0}};
    for (int a = 0; a < N; ++a) shape.extent[a] = job.grid[a];
    py::tuple next(N);
    for (int a = 0; a < N; ++a) {
        F_next[a] = new_output<T>(shape, false);
        job.forward[a] = static_cast<T*>(F_next[a].mutable_data());
        next[a] = F_next[a];
    }
    r = new_output<T>(shape, false);
    job.residual = static_cast<T*>(r.mutable_data());
    bool failed = false;
    Failure failure;
    {
        py::gil_scoped_release unlocked;
        try {
            largest = run_refinement_region_pass<T, N>(job, threads);
        } catch (...) {
            failed = true;
            failure = caught_failure();
        }
    }
    if (failed) return py::make_tuple(py::none(), failure_of(failure), py::list());
    return py::make_tuple(py::make_tuple(next, r, largest), py::none(), py::list());
}

// The whole call's warnings after passes with these largest residuals.
template <class T, int N>
py::list refine_warning(const py::sequence& largest, int32_t steps, double tolerance)
{
    FieldRefinement<T, N> job = {};
    job.steps = steps;
    job.tolerance = tolerance;
    RefinementOutcome outcome;
    const int32_t passes = static_cast<int32_t>(largest.size());
    for (int32_t k = 0; k < passes; ++k)
        if (record_pass(outcome, k, largest[k].cast<double>(), steps, tolerance)) break;
    GatewayWarnings warnings;
    if (passes > 0) warn_refinement<T, N>(outcome, job, warnings);
    return warnings_of(warnings);
}

// invert_field's compiled call: as call<Call>, but the last output is the
// summary, float64 whatever the field's dtype, and the thread count is an
// input the core checks (threads= of regkern.invert_field).
template <class Call>
py::tuple call_invert_field(const py::tuple& values)
{
    using T = typename Call::Element;
    const CallSignature& signature = Call::signature;
    if (static_cast<int>(values.size()) != signature.inputs)
        throw py::type_error(std::string(signature.input_count_message));
    std::array<PlainArray, Call::input_count> inputs;
    for (int k = 0; k < signature.inputs; ++k)
        inputs[k] = python_input<T>(values[k], signature.names[k]);

    GatewayWarnings warnings;
    typename Call::Plan plan;
    try {
        plan = Call::check(inputs.data(), warnings);
    } catch (...) {
        return py::make_tuple(py::none(), failure_of(caught_failure()), warnings_of(warnings));
    }
    constexpr int components = Call::output_count - 1;
    py::tuple outputs(signature.outputs);
    std::array<T*, components> field;
    for (int a = 0; a < components; ++a) {
        py::array output = new_output<T>(plan.output[a], plan.zero_fill);
        field[a] = static_cast<T*>(output.mutable_data());
        outputs[a] = std::move(output);
    }
    py::array summary = new_output<double>(plan.output[components], false);
    double* summary_data = static_cast<double*>(summary.mutable_data());
    outputs[components] = std::move(summary);
    return run_unlocked([&] { Call::run(plan, field.data(), summary_data, warnings); }, outputs,
                        warnings);
}

template <class Call>
py::tuple call(const py::tuple& values, double threads)
{
    return checked_call<Call>(
        values, threads,
        [](const PlainArray* inputs, GatewayWarnings& warnings) { return Call::check(inputs, warnings); },
        &Call::run);
}

template <class Call>
void add(py::module_& module, const char* plugin)
{
    module.def(plugin, &call<Call>, py::arg("inputs"), py::arg("threads"));
    module.def(("_check_" + std::string(plugin)).c_str(), &check_only<Call>, py::arg("inputs"));
}

// An outcome the chunked front end reached pass by pass, as the whole
// refinement records it.
inline RefinementOutcome outcome_of(double tolerance, int32_t steps_done, double max_residual,
                                    int32_t grew_at, double before_growth, double after_growth)
{
    RefinementOutcome outcome;
    outcome.steps_done = steps_done;
    outcome.max_residual = max_residual;
    outcome.converged = max_residual <= tolerance;
    outcome.grew_at = grew_at;
    outcome.before_growth = before_growth;
    outcome.after_growth = after_growth;
    return outcome;
}

// The refinement's warnings for such an outcome: the same message as the
// whole call's.
template <class T, int N>
py::list refinement_warnings(int32_t steps, double tolerance, int32_t steps_done,
                             double max_residual, int32_t grew_at, double before_growth,
                             double after_growth)
{
    FieldRefinement<T, N> job = {};
    job.steps = steps;
    job.tolerance = tolerance;
    GatewayWarnings warnings;
    warn_refinement<T, N>(
        outcome_of(tolerance, steps_done, max_residual, grew_at, before_growth, after_growth), job,
        warnings);
    return warnings_of(warnings);
}

// invert_field's warnings for such an outcome, in the order the whole call
// gives them: notConverged (naming the tolerance as invert_field's callers
// write it), then unrefined.
template <class T, int N>
py::list invert_field_warnings(int32_t steps, double tolerance, int32_t steps_done,
                               double max_residual, int32_t grew_at, double before_growth,
                               double after_growth, int64_t unrefined, int64_t start_not_finite,
                               int64_t points)
{
    FieldRefinement<T, N> job = {};
    job.steps = steps;
    job.tolerance = tolerance;
    GatewayWarnings warnings;
    if (points == 0) return warnings_of(warnings);
    warn_refinement<T, N>(
        outcome_of(tolerance, steps_done, max_residual, grew_at, before_growth, after_growth), job,
        warnings, invert_signature<N>.names[N + 2]);
    if (unrefined > 0) warn_unrefined<T, N>(unrefined, start_not_finite, points, warnings);
    return warnings_of(warnings);
}

using Integers = std::vector<int64_t>;

// A box of the field inversion (dispinvert_region.h).
template <class Call>
py::tuple splat_region(const py::tuple& values, const Integers& grid, const Integers& origin,
                       const Integers& lo, const Integers& hi, const std::vector<double>& max_abs_b,
                       double threads)
{
    using T = typename Call::Element;
    constexpr int N = Call::output_count;
    return checked_call<Call>(
        values, threads,
        [&](const PlainArray* inputs, GatewayWarnings&) {
            return check_inversion_region<T, N>(inputs, grid, origin, lo, hi, max_abs_b);
        },
        &Call::run);
}

template <class Call>
void add_splat_region(py::module_& module, const char* name)
{
    module.def(name, &splat_region<Call>, py::arg("inputs"), py::arg("grid"), py::arg("origin"),
               py::arg("lo"), py::arg("hi"), py::arg("max_abs_b"), py::arg("threads"));
}

// The splat's halo per axis, [(below, above), ...].
py::list splat_halo_of(const std::vector<double>& max_abs_b, const Integers& kernel_extent,
                       const Integers& grid, bool single)
{
    if (max_abs_b.size() != kernel_extent.size() || grid.size() != kernel_extent.size())
        throw py::value_error("max_abs_b, kernel_extent and grid need one entry per axis each");
    py::list halo;
    for (size_t a = 0; a < grid.size(); ++a) {
        if (kernel_extent[a] < 0 || kernel_extent[a] > INT32_MAX || grid[a] < 0 || grid[a] > INT32_MAX)
            throw py::value_error("kernel_extent and grid need extents in [0, 2^31 - 1]");
        const SplatHalo h = splat_halo(max_abs_b[a], static_cast<int32_t>(kernel_extent[a]),
                                       static_cast<int32_t>(grid[a]), single);
        halo.append(py::make_tuple(h.below, h.above));
    }
    return halo;
}

}  // namespace
}  // namespace regkern

namespace regkern {
namespace {

// A chunk's partial sums of the joint histogram (jointbins_region.h):
// outputs (joint, first, second, census), census = (count, finite1,
// outside1, finite2, outside2).
template <class T>
py::tuple jointbins_partial(const py::tuple& values, double threads)
{
    (void)threads;  // one pass, as the whole call
    const CallSignature& signature = jointbins_signature;
    if (static_cast<int>(values.size()) != signature.inputs)
        throw py::type_error(std::string(signature.input_count_message));
    std::array<PlainArray, JOINTBINS_INPUTS> inputs;
    for (int k = 0; k < signature.inputs; ++k)
        inputs[k] = python_input<T>(values[k], signature.names[k]);
    GatewayWarnings dropped;  // the whole call's check warns, once per call
    JointbinsPlan<T> plan;
    try {
        plan = check_jointbins<T>(inputs.data(), dropped);
    } catch (...) {
        return py::make_tuple(py::none(), failure_of(caught_failure()), py::list());
    }
    std::array<py::array, JOINTBINS_OUTPUTS> sums;
    std::array<T*, JOINTBINS_OUTPUTS> data;
    for (int k = 0; k < JOINTBINS_OUTPUTS; ++k) {
        sums[k] = new_output<T>(plan.output[k], true);
        data[k] = static_cast<T*>(sums[k].mutable_data());
    }
    JointbinsCensus census;
    {
        py::gil_scoped_release unlocked;
        census = run_jointbins_partial(plan, data[OUT_JOINT], data[OUT_FIRST], data[OUT_SECOND]);
    }
    const py::tuple counts = py::make_tuple(census.count, census.image[0].finite, census.image[0].outside,
                                            census.image[1].finite, census.image[1].outside);
    return py::make_tuple(py::make_tuple(sums[0], sums[1], sums[2], counts), py::none(), py::list());
}

JointbinsCensus census_total(const py::list& chunks)
{
    std::vector<JointbinsCensus> census;
    for (const py::handle& item : chunks) {
        const auto c = item.cast<std::array<int64_t, 5>>();
        JointbinsCensus chunk;
        chunk.count = c[0];
        chunk.image[0] = {c[1], c[2]};
        chunk.image[1] = {c[3], c[4]};
        census.push_back(chunk);
    }
    return total_census(census);
}

// [named1, named2]: the images whose finite extremes the combine needs.
template <class T>
py::list jointbins_outside(const py::list& census, double lower, double upper)
{
    const auto named = jointbins_mostly_outside<T>(census_total(census), static_cast<T>(lower),
                                                   static_cast<T>(upper));
    py::list list;
    for (bool k : named) list.append(k);
    return list;
}

// (least, greatest) of an image chunk's finite values, NaN for none, then
// its least and greatest value that is not NaN (+Inf, -Inf for none).
template <class T>
py::tuple jointbins_extremes(const py::handle& image, double lower, double upper)
{
    const PlainArray array = python_input<T>(image, jointbins_input_names[IN_FIRST]);
    const T* data = data_of<T>(array);
    const int64_t count = static_cast<int64_t>(array.count);
    double least, greatest;
    finite_extremes(data, count, least, greatest);
    const ValueSpread<T> spread = value_spread<T>(data, count, static_cast<T>(lower), static_cast<T>(upper));
    return py::make_tuple(least, greatest, static_cast<double>(spread.least),
                          static_cast<double>(spread.greatest));
}

// The combine: partials [(joint, first, second), ...] in chunk order, their
// censuses, the call's lower, upper and bins, and the extremes
// [(least, greatest, spread least, spread greatest), ...] of both images,
// jointbins_extremes' over every chunk.
template <class T>
py::tuple jointbins_combine(const py::list& partials, const py::list& census, double lower,
                            double upper, double bins, const py::list& extremes)
{
    GatewayWarnings warnings;
    try {
        const int32_t b = jointbins_bin_count<T>(static_cast<T>(bins));
        const JointbinsCensus total = census_total(census);
        if (py::len(partials) != py::len(census))
            fail("regionArguments", "partials and census differ in length; pass one census per partial");
        std::array<std::vector<const T*>, JOINTBINS_OUTPUTS> sums;
        const int64_t cells[JOINTBINS_OUTPUTS] = {int64_t{b} * b, b, b};
        for (const py::handle& item : partials) {
            const py::tuple parts = item.cast<py::tuple>();
            if (parts.size() != JOINTBINS_OUTPUTS)
                fail("regionArguments", "a partial has " + std::to_string(parts.size()) +
                                            " arrays; pass (joint, first, second) as the partial gave them");
            for (int k = 0; k < JOINTBINS_OUTPUTS; ++k) {
                const PlainArray array = python_input<T>(parts[k], jointbins_input_names[IN_FIRST]);
                if (static_cast<int64_t>(array.count) != cells[k])
                    fail("regionArguments", "a partial's sums hold " + std::to_string(array.count) +
                                                " cells where " + std::to_string(bins) +
                                                " bins make " + std::to_string(cells[k]) +
                                                "; pass the partials of this call");
                sums[k].push_back(data_of<T>(array));
            }
        }
        if (py::len(extremes) != 2)
            fail("regionArguments", "extremes has " + std::to_string(py::len(extremes)) +
                                        " entries; pass one per image, from jointbins_extremes over its "
                                        "chunks (least by fmin, greatest by fmax)");
        std::array<JointbinsImageEnds, 2> ends;
        for (int k = 0; k < 2; ++k) {
            const auto e = extremes[k].cast<std::array<double, 4>>();
            ends[k] = {e[0], e[1], e[2], e[3]};
        }
        py::tuple outputs(static_cast<size_t>(JOINTBINS_OUTPUTS));
        const OutputShape shapes[JOINTBINS_OUTPUTS] = {{2, {b, b, 0}}, {1, {b, 0, 0}}, {1, {b, 0, 0}}};
        for (int k = 0; k < JOINTBINS_OUTPUTS; ++k) {
            py::array out = new_output<T>(shapes[k], false);
            combine_jointbins_sums<T>(sums[k], cells[k], total.count, static_cast<T*>(out.mutable_data()));
            outputs[k] = std::move(out);
        }
        const T* const histograms[2] = {static_cast<const T*>(py::array(outputs[1]).data()),
                                        static_cast<const T*>(py::array(outputs[2]).data())};
        warn_jointbins_combined<T>(static_cast<T>(lower), static_cast<T>(upper), b, total, ends,
                                   histograms, warnings);
        return py::make_tuple(outputs, py::none(), warnings_of(warnings));
    } catch (const Failure& failure) {
        return py::make_tuple(py::none(), failure_of(failure), warnings_of(warnings));
    }
}

// A box of the remapping (remap_region.h).
template <class T, int D>
py::tuple remap_region(const py::tuple& values, const Integers& grid, const Integers& origin,
                       const Integers& lo, const Integers& hi, double threads)
{
    using Call = RemapCall<T, D>;
    return checked_call<Call>(
        values, threads,
        [&](const PlainArray* inputs, GatewayWarnings&) {
            return check_remap_region<T, D>(inputs, grid, origin, lo, hi);
        },
        [](const RemapPlan<T>& plan, T* const* outputs, double host_threads, GatewayWarnings&) {
            run_remap_region(plan, outputs[OUT_MAPPED_A], outputs[OUT_MAPPED_B], host_threads);
        });
}

// The remapping's halo per axis, [(below, above), ...].
py::list remap_halo_of(double spacing, const Integers& window, bool single)
{
    py::list halo;
    for (int64_t w : window) {
        if (w < 0 || w > INT32_MAX) throw py::value_error("window extents lie in [0, 2^31 - 1]");
        const RemapHalo h = single ? remap_halo<float>(static_cast<float>(spacing), static_cast<int32_t>(w))
                                   : remap_halo<double>(spacing, static_cast<int32_t>(w));
        halo.append(py::make_tuple(h.below, h.above));
    }
    return halo;
}

std::vector<int64_t> remap_chunk_edges_of(int64_t extent, double spacing, int64_t window, int64_t target,
                                          bool single)
{
    if (extent < 0 || extent > INT32_MAX || window < 0 || window > INT32_MAX || !(spacing > 0) ||
        !std::isfinite(spacing))
        throw py::value_error("extent and window lie in [0, 2^31 - 1], spacing is finite and > 0");
    try {
        return single ? remap_chunk_edges<float>(static_cast<int32_t>(extent), static_cast<float>(spacing),
                                                 static_cast<int32_t>(window), target)
                      : remap_chunk_edges<double>(static_cast<int32_t>(extent), spacing,
                                                  static_cast<int32_t>(window), target);
    } catch (const Failure& failure) {
        throw py::value_error(failure.message);
    }
}

// Per image chunk given, (voxels inside [min, max], least, greatest value
// that is not NaN).
template <class T>
py::list remap_census(const py::tuple& images, double min, double max)
{
    py::list census;
    for (const py::handle& image : images) {
        const PlainArray array = python_input<T>(image, remap_input_names[IN_IMAGE_A]);
        const int64_t voxels = static_cast<int64_t>(array.count);
        const T* data = data_of<T>(array);
        ValueSpread<T> spread;
        {
            py::gil_scoped_release unlocked;
            spread = value_spread<T>(data, voxels, static_cast<T>(min), static_cast<T>(max));
        }
        census.append(py::make_tuple(spread.inside, static_cast<double>(spread.least),
                                     static_cast<double>(spread.greatest)));
    }
    return census;
}

// (finite voxels, least, greatest) of an image chunk.
template <class T>
py::tuple finite_census_of(const py::handle& image)
{
    const PlainArray array = python_input<T>(image, remap_input_names[IN_IMAGE_A]);
    int64_t finite;
    double least, greatest;
    finite_census(data_of<T>(array), static_cast<int64_t>(array.count), finite, least, greatest);
    return py::make_tuple(finite, least, greatest);
}

// The outOfRange and narrowData warnings of a chunked call from its totals:
// census holds, per distinct image, (input, voxels, inside, least,
// greatest, finite, finite least, finite greatest) with input 0..3 for A,
// B, C, D and the last three None until asked for. Returns (warnings,
// needs): needs lists the inputs whose finite census (finite_census per
// chunk: finite summed, least by fmin, greatest by fmax) must be given
// before the warnings can be told.
template <class T>
py::tuple remap_outside(const py::list& census, double min, double max)
{
    std::vector<RemapImageCensus> images;
    std::vector<int> inputs;
    for (const py::handle& item : census) {
        const py::tuple entry = item.cast<py::tuple>();
        const int input = entry.size() == 8 ? entry[0].cast<int>() : -1;
        if (input < 0 || input > 3)
            throw py::value_error("census entries are (input 0..3, voxels, inside, least, greatest, "
                                  "finite, finite least, finite greatest)");
        RemapImageCensus image = {remap_input_names[IN_IMAGE_A + input], entry[1].cast<int64_t>(),
                                  entry[2].cast<int64_t>(), entry[3].cast<double>(),
                                  entry[4].cast<double>(), !entry[5].is_none(), 0, 0, 0};
        if (image.finite_known) {
            image.finite = entry[5].cast<int64_t>();
            image.least = entry[6].cast<double>();
            image.greatest = entry[7].cast<double>();
        }
        images.push_back(image);
        inputs.push_back(input);
    }
    py::list needs;
    const std::vector<bool> asked = remap_census_needs_finite(images, min, max);
    for (size_t i = 0; i < images.size(); ++i)
        if (asked[i]) needs.append(inputs[i]);
    GatewayWarnings warnings;
    if (py::len(needs) == 0)
        warn_remap_images<T>(static_cast<T>(min), static_cast<T>(max), images, warnings);
    return py::make_tuple(warnings_of(warnings), needs);
}

template <class T>
void add_jointbins_region(py::module_& module, const std::string& suffix)
{
    module.def(("_jointbins_partial" + suffix).c_str(), &jointbins_partial<T>, py::arg("inputs"),
               py::arg("threads"));
    module.def(("_jointbins_outside" + suffix).c_str(), &jointbins_outside<T>, py::arg("census"),
               py::arg("lower"), py::arg("upper"));
    module.def(("_jointbins_extremes" + suffix).c_str(), &jointbins_extremes<T>, py::arg("image"),
               py::arg("lower"), py::arg("upper"));
    module.def(("_jointbins_combine" + suffix).c_str(), &jointbins_combine<T>, py::arg("partials"),
               py::arg("census"), py::arg("lower"), py::arg("upper"), py::arg("bins"),
               py::arg("extremes"));
}

}  // namespace
}  // namespace regkern

PYBIND11_MODULE(_core, module)
{
    using namespace regkern;
    module.doc() = "regkern's kernels; call them through the regkern package";
    add<RemapCall<double, 3>>(module, "remap_vol_f64");
    add<RemapCall<float, 3>>(module, "remap_vol_f32");
    add<RemapCall<double, 2>>(module, "remap_plane_f64");
    add<InversionCall<double, 3, KernelOrder::high_axis_outermost>>(module, "dispinvert_vol_f64");
    add<InversionCall<float, 3, KernelOrder::low_axis_outermost>>(module, "dispinvert_vol_f32");
    add<InversionCall<double, 2, KernelOrder::high_axis_outermost>>(module, "dispinvert_plane_f64");
    add<RefinementCall<double, 3>>(module, "dispinvert_refine_vol_f64");
    add<RefinementCall<float, 3>>(module, "dispinvert_refine_vol_f32");
    add<RefinementCall<double, 2>>(module, "dispinvert_refine_plane_f64");
    module.def("refine_pass_vol_f64", &refine_pass<double, 3>, py::arg("b"), py::arg("F"),
               py::arg("origin"), py::arg("whole"), py::arg("b_origin"), py::arg("method"),
               py::arg("threads"));
    module.def("refine_pass_vol_f32", &refine_pass<float, 3>, py::arg("b"), py::arg("F"),
               py::arg("origin"), py::arg("whole"), py::arg("b_origin"), py::arg("method"),
               py::arg("threads"));
    module.def("refine_pass_plane_f64", &refine_pass<double, 2>, py::arg("b"), py::arg("F"),
               py::arg("origin"), py::arg("whole"), py::arg("b_origin"), py::arg("method"),
               py::arg("threads"));
    module.def("refine_warning_vol_f64", &refine_warning<double, 3>, py::arg("largest"),
               py::arg("steps"), py::arg("tol"));
    module.def("refine_warning_vol_f32", &refine_warning<float, 3>, py::arg("largest"),
               py::arg("steps"), py::arg("tol"));
    module.def("refine_warning_plane_f64", &refine_warning<double, 2>, py::arg("largest"),
               py::arg("steps"), py::arg("tol"));
    module.def("invert_field_vol_f64",
               &call_invert_field<InvertFieldCall<double, 3, KernelOrder::high_axis_outermost>>,
               py::arg("inputs"));
    module.def("invert_field_vol_f32",
               &call_invert_field<InvertFieldCall<float, 3, KernelOrder::low_axis_outermost>>,
               py::arg("inputs"));
    module.def("invert_field_plane_f64",
               &call_invert_field<InvertFieldCall<double, 2, KernelOrder::high_axis_outermost>>,
               py::arg("inputs"));
    module.def("_check_invert_field_vol_f64",
               &check_only<InvertFieldCall<double, 3, KernelOrder::high_axis_outermost>>,
               py::arg("inputs"));
    module.def("_check_invert_field_vol_f32",
               &check_only<InvertFieldCall<float, 3, KernelOrder::low_axis_outermost>>,
               py::arg("inputs"));
    module.def("_check_invert_field_plane_f64",
               &check_only<InvertFieldCall<double, 2, KernelOrder::high_axis_outermost>>,
               py::arg("inputs"));
    module.def("_invert_field_warnings_vol_f64", &invert_field_warnings<double, 3>);
    module.def("_invert_field_warnings_vol_f32", &invert_field_warnings<float, 3>);
    module.def("_invert_field_warnings_plane_f64", &invert_field_warnings<double, 2>);
    add<JointbinsCall<double>>(module, "jointbins_f64");
    add<JointbinsCall<float>>(module, "jointbins_f32");
    module.def("_refinement_warnings_vol_f64", &refinement_warnings<double, 3>);
    module.def("_refinement_warnings_vol_f32", &refinement_warnings<float, 3>);
    module.def("_refinement_warnings_plane_f64", &refinement_warnings<double, 2>);
    add_splat_region<InversionCall<double, 3, KernelOrder::high_axis_outermost>>(
        module, "_splat_region_vol_f64");
    add_splat_region<InversionCall<float, 3, KernelOrder::low_axis_outermost>>(
        module, "_splat_region_vol_f32");
    add_splat_region<InversionCall<double, 2, KernelOrder::high_axis_outermost>>(
        module, "_splat_region_plane_f64");
    module.def("_remap_region_vol_f64", &remap_region<double, 3>, py::arg("inputs"), py::arg("grid"),
               py::arg("origin"), py::arg("lo"), py::arg("hi"), py::arg("threads"));
    module.def("_remap_region_vol_f32", &remap_region<float, 3>, py::arg("inputs"), py::arg("grid"),
               py::arg("origin"), py::arg("lo"), py::arg("hi"), py::arg("threads"));
    module.def("_remap_region_plane_f64", &remap_region<double, 2>, py::arg("inputs"), py::arg("grid"),
               py::arg("origin"), py::arg("lo"), py::arg("hi"), py::arg("threads"));
    module.def("_remap_halo", &remap_halo_of, py::arg("spacing"), py::arg("window"), py::arg("single"));
    module.def("_remap_chunk_edges", &remap_chunk_edges_of, py::arg("extent"), py::arg("spacing"),
               py::arg("window"), py::arg("target"), py::arg("single"));
    module.def("_remap_census_f64", &remap_census<double>, py::arg("images"), py::arg("min"), py::arg("max"));
    module.def("_remap_census_f32", &remap_census<float>, py::arg("images"), py::arg("min"), py::arg("max"));
    module.def("_finite_census_f64", &finite_census_of<double>, py::arg("image"));
    module.def("_finite_census_f32", &finite_census_of<float>, py::arg("image"));
    module.def("_remap_outside_f64", &remap_outside<double>, py::arg("census"), py::arg("min"), py::arg("max"));
    module.def("_remap_outside_f32", &remap_outside<float>, py::arg("census"), py::arg("min"), py::arg("max"));
    add_jointbins_region<double>(module, "_f64");
    add_jointbins_region<float>(module, "_f32");
    module.def("_splat_halo", &splat_halo_of, py::arg("max_abs_b"), py::arg("kernel_extent"),
               py::arg("grid"), py::arg("single"));
}
