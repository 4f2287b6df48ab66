// Shared pieces of the libFuzzer targets: turning fuzz bytes into host arrays
// (class, complexity, sparsity, shape and values) and checking what every
// call must leave behind, whether it succeeded or failed.
//
// Every choice reads a byte whose value 0 means "the ordinary case" (the
// deliverable's class, the expected count, the shared shape), because
// FuzzedDataProvider answers 0 once the input is used up: a short input is an
// ordinary call, and the fuzzer spends its mutations on the odd ones.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "standin.h"

namespace fuzz {

[[noreturn]] inline void violated(const std::string& plugin, const std::string& what)
{
    std::fprintf(stderr, "\n*** %s: %s\n", plugin.c_str(), what.c_str());
    std::abort();
}

// Values the plug-ins must survive, mixed with plain ones between lo and hi
// (lo is the ordinary choice; hi may lie below it).
inline double pick_value(FuzzedDataProvider& in, double lo, double hi)
{
    if (!(std::isfinite(lo) && std::isfinite(hi))) {
        lo = -1.0;
        hi = 2.0;
    }
    static const double special[] = {
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 0.4999999999999999, 1e-300,
        4.9406564584124654e-324,  // smallest double denormal
        1.401298464324817e-45,    // smallest float denormal
        1e300, -1e300, 1e38, -1e38, 3.4028234663852886e38, -3.4028234663852886e38,
        1e39,                     // beyond float: infinite once stored as single
        2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0,
        16777216.0, 16777217.0, 9007199254740993.0, 1e15, -1e15,
    };
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 160) return lo + (hi - lo) * (kind / 159.0);  // quick, evenly spread
    if (kind < 200) return in.ConsumeFloatingPointInRange<double>(std::min(lo, hi), std::max(lo, hi));
    if (kind < 230) return in.PickValueInArray(special);
    return in.ConsumeFloatingPoint<double>();  // any double at all
}

// An extent list of 0 to 4 dimensions, by default `typical`, whose element
// count stays at most `cap` (the largest extent is halved until it does). An
// empty list is passed to the host as ndim 0.
inline std::vector<int> pick_shape(FuzzedDataProvider& in, const std::vector<int>& typical,
                                   int max_extent, long cap)
{
    const int ndims = (static_cast<int>(typical.size()) + in.ConsumeIntegral<uint8_t>()) % 5;
    std::vector<int> dims(ndims);
    for (int i = 0; i < ndims; ++i) {
        const int base = i < static_cast<int>(typical.size()) ? typical[i] : 1;
        dims[i] = (base + in.ConsumeIntegral<uint8_t>()) % (max_extent + 1);
    }
    for (;;) {
        long count = 1;
        for (int d : dims) count *= d;
        if (count <= cap) break;
        *std::max_element(dims.begin(), dims.end()) /= 2;
    }
    return dims;
}

// The dimension vector the host gives an array created from `dims`: at least
// two entries, trailing singletons beyond the second dropped.
inline std::vector<int> host_dims(std::vector<int> dims)
{
    if (dims.empty()) return {0, 0};
    if (dims.size() == 1) dims.push_back(1);
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    return dims;
}

// Elements of an array created from `dims` (an empty list makes a 0 x 0).
inline long element_count(const std::vector<int>& dims)
{
    if (dims.empty()) return 0;
    long count = 1;
    for (int d : dims) count *= d;
    return count;
}

// The first n extents, missing ones read as 1.
inline std::vector<int> leading(const std::vector<int>& dims, int n)
{
    std::vector<int> out(n, 1);
    for (int i = 0; i < n && i < static_cast<int>(dims.size()); ++i) out[i] = dims[i];
    return out;
}

// `count` values for an array, from [lo, hi] and the special values.
inline std::vector<double> pick_values(FuzzedDataProvider& in, long count, double lo, double hi)
{
    std::vector<double> values(static_cast<size_t>(count));
    for (double& v : values) v = pick_value(in, lo, hi);
    return values;
}

// An input for a slot that expects a real, full array of class T: usually
// that, sometimes another class, complex or sparse.
template <class T>
standin::Array make_input(FuzzedDataProvider& in, const std::vector<int>& dims,
                          const std::vector<double>& values)
{
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 232) {
        std::vector<T> typed(values.begin(), values.end());
        return standin::make_filled<T>(dims, typed);
    }
    const mxClassID own = standin::class_of<T>();
    switch (kind % 8) {
    case 0: return standin::make_array(own == mxDOUBLE_CLASS ? mxSINGLE_CLASS : mxDOUBLE_CLASS, dims);
    case 1: return standin::make_array(mxINT32_CLASS, dims);
    case 2: return standin::make_array(mxLOGICAL_CLASS, dims);
    case 3: return standin::make_array(mxCHAR_CLASS, dims);
    case 4: return standin::make_array(mxUINT8_CLASS, dims);
    case 5: return standin::make_array(own, dims, mxCOMPLEX);
    case 6: {
        const std::vector<int> d = leading(dims, 2);
        return standin::make_sparse(d[0], d[1]);
    }
    default: return standin::make_array(mxCELL_CLASS, dims);
    }
}

// A scalar setting: usually a 1 x 1 array holding `value`; now and then an
// empty array, a single-entry dimension vector, or a row whose first element
// is `value` and whose others are noise.
template <class T>
standin::Array make_scalar_input(FuzzedDataProvider& in, double value)
{
    const uint8_t shape = in.ConsumeIntegral<uint8_t>();
    std::vector<int> dims = {1, 1};
    if (shape >= 236) {
        static const std::vector<int> odd[] = {{0, 0}, {1}, {1, 3}, {1, 0, 2}, {2, 1, 1, 1}};
        dims = odd[shape % 5];
    }
    std::vector<double> values = pick_values(in, element_count(dims), -1.0, 1.0);
    if (!values.empty()) values[0] = value;
    return make_input<T>(in, dims, values);
}

// Thread counts for "maxNumCompThreads": ordinary ones, none, fractions,
// negatives, NaN and far too many.
inline double pick_thread_count(FuzzedDataProvider& in)
{
    static const double counts[] = {2, 1, 3, 4, 7, 0, 0.5, -1, 1.9, 64, 1e9,
                                    std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity()};
    return in.PickValueInArray(counts);
}

// The count a call is made with: the expected one, or now and then another.
inline int pick_count(FuzzedDataProvider& in, int expected, int max)
{
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    if (kind < 240) return expected;
    return in.ConsumeIntegralInRange<int>(0, max);
}

inline std::string dims_text(const std::vector<int>& dims)
{
    std::string s = "[";
    for (size_t i = 0; i < dims.size(); ++i) s += (i ? " " : "") + std::to_string(dims[i]);
    return s + "]";
}

// With FUZZ_SHOW set in the environment, prints the call a fuzz input
// decodes to (for turning a crash file into a regression test).
inline void show_call(const std::string& plugin, int nlhs,
                      const std::vector<standin::Array>& inputs)
{
    if (!std::getenv("FUZZ_SHOW")) return;
    std::fprintf(stderr, "%s, nlhs %d, thread count %.17g\n", plugin.c_str(), nlhs,
                 standin::thread_count());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const standin::Array& a = inputs[i];
        std::fprintf(stderr, "  input %zu: class %d%s%s, dims %s:", i + 1, static_cast<int>(a.class_id()),
                     mxIsComplex(a.get()) ? " complex" : "", mxIsSparse(a.get()) ? " sparse" : "",
                     dims_text(a.dims()).c_str());
        for (size_t j = 0; j < a.numel() && j < 12; ++j) {
            if (a.class_id() == mxDOUBLE_CLASS) std::fprintf(stderr, " %.17g", a.data<double>()[j]);
            if (a.class_id() == mxSINGLE_CLASS) std::fprintf(stderr, " %.9g", a.data<float>()[j]);
        }
        std::fprintf(stderr, "%s\n", a.numel() > 12 ? " ..." : "");
    }
}

// Calls the plug-in and checks what every call must leave: a failure names
// the plug-in and a known condition, carries a message and leaves no host
// array behind; a success returns exactly the outputs asked for, real and of
// the deliverable's class. The caller checks shapes and values on success.
// `reporter`: the name in the identifiers when it is not the plug-in's own
// (invert_field's compiled calls); `typed_outputs`: how many outputs have
// output_class, the others being double (-1: all).
inline standin::CallResult checked_call(const std::string& plugin, int nlhs,
                                        const std::vector<standin::Array>& inputs,
                                        int expected_outputs, mxClassID output_class,
                                        const std::string& reporter = "", int typed_outputs = -1)
{
    static const char* const known[] = {"nrhs",         "nlhs",      "badClass",   "complex",
                                        "sparse",       "empty",     "sizeMismatch", "tooLarge",
                                        "badRange",     "badBins",   "badSpacing", "outOfMemory",
                                        "badSteps",     "badTolerance", "badMethod", "badThreads"};
    std::vector<const mxArray*> pointers;
    for (const standin::Array& a : inputs) pointers.push_back(a.get());
    show_call(plugin, nlhs, inputs);
    const long live = standin::live_arrays();
    standin::CallResult r = standin::call(plugin, nlhs, pointers);
    if (!r.ok) {
        if (standin::live_arrays() != live) violated(plugin, "a failed call left host arrays behind");
        const std::string prefix = (reporter.empty() ? plugin : reporter) + ":";
        if (r.id.compare(0, prefix.size(), prefix) != 0)
            violated(plugin, "error identifier '" + r.id + "' does not name the plug-in");
        const std::string condition = r.id.substr(prefix.size());
        if (std::find(std::begin(known), std::end(known), condition) == std::end(known))
            violated(plugin, "unexpected error '" + r.id + "': " + r.message);
        if (r.message.empty()) violated(plugin, "error '" + r.id + "' without a message");
        return r;
    }
    if (nlhs != expected_outputs)
        violated(plugin, "accepted nlhs = " + std::to_string(nlhs));
    if (static_cast<long>(r.outputs.size()) != nlhs ||
        standin::live_arrays() != live + nlhs)
        violated(plugin, "a successful call did not return exactly its outputs");
    for (size_t k = 0; k < r.outputs.size(); ++k) {
        const standin::Array& out = r.outputs[k];
        if (!out.get()) violated(plugin, "an output slot was left empty");
        const bool typed = typed_outputs < 0 || static_cast<int>(k) < typed_outputs;
        if (out.class_id() != (typed ? output_class : mxDOUBLE_CLASS))
            violated(plugin, "an output has the wrong class");
        if (mxIsComplex(out.get()) || mxIsSparse(out.get()))
            violated(plugin, "an output is complex or sparse");
    }
    return r;
}

// A value with all its digits, for reports.
inline std::string text(double value)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

inline void expect_dims(const std::string& plugin, const standin::Array& out,
                        const std::vector<int>& expected)
{
    if (out.dims() != expected)
        violated(plugin, "output dims " + dims_text(out.dims()) + ", expected " +
                             dims_text(expected));
}

// Loads each plug-in before fuzzing starts, so that its coverage counters are
// registered from the first input on.
inline void preload(const std::vector<std::string>& plugins)
{
    for (const std::string& p : plugins) standin::call(p, 0, {});
}

}  // namespace fuzz
