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
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <string>

#include "dispinvert_core.h"
#include "dispinvert_refine_core.h"
#include "failure.h"
#include "jointbins_core.h"
#include "plain_array.h"
#include "remap_core.h"

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

template <class Call>
py::tuple call(const py::tuple& values, double threads)
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

    py::tuple outputs(signature.outputs);
    std::array<T*, Call::output_count> data;
    for (int k = 0; k < signature.outputs; ++k) {
        py::array output = new_output<T>(plan.output[k], plan.zero_fill);
        data[k] = static_cast<T*>(output.mutable_data());
        outputs[k] = std::move(output);
    }
    // The tuples keep the inputs and outputs alive (and an input's resize
    // refused) while the kernel runs without the interpreter lock.
    bool failed = false;
    Failure failure;
    {
        py::gil_scoped_release unlocked;
        try {
            Call::run(plan, data.data(), threads, warnings);
        } catch (...) {
            failed = true;
            failure = caught_failure();
        }
    }
    if (failed) return py::make_tuple(py::none(), failure_of(failure), warnings_of(warnings));
    return py::make_tuple(outputs, py::none(), warnings_of(warnings));
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

template <class Call>
void add(py::module_& module, const char* plugin)
{
    module.def(plugin, &call<Call>, py::arg("inputs"), py::arg("threads"));
    module.def(("_check_" + std::string(plugin)).c_str(), &check_only<Call>, py::arg("inputs"));
}

// The refinement's warnings for an outcome the chunked front end reached
// pass by pass: the same message as the whole call's.
template <class T, int N>
py::list refinement_warnings(int32_t steps, double tolerance, int32_t steps_done,
                             double max_residual, int32_t grew_at, double before_growth,
                             double after_growth)
{
    FieldRefinement<T, N> job = {};
    job.steps = steps;
    job.tolerance = tolerance;
    RefinementOutcome outcome;
    outcome.steps_done = steps_done;
    outcome.max_residual = max_residual;
    outcome.converged = max_residual <= tolerance;
    outcome.grew_at = grew_at;
    outcome.before_growth = before_growth;
    outcome.after_growth = after_growth;
    GatewayWarnings warnings;
    warn_refinement<T, N>(outcome, job, warnings);
    return warnings_of(warnings);
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
    add<JointbinsCall<double>>(module, "jointbins_f64");
    add<JointbinsCall<float>>(module, "jointbins_f32");
    module.def("_refinement_warnings_vol_f64", &refinement_warnings<double, 3>);
    module.def("_refinement_warnings_vol_f32", &refinement_warnings<float, 3>);
    module.def("_refinement_warnings_plane_f64", &refinement_warnings<double, 2>);
}
