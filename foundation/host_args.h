// The host-array layer every gateway uses: argument counts, class checks,
// extents as 32-bit ints, typed data access and output creation.
//
// Works with any host whose mex.h gives mwSize as a 32- or 64-bit, signed or
// unsigned integer. Every check throws a Failure (failure.h); nothing here
// calls the host's error exit.
//
// Messages name an input as "<name> (input N)", with the name the plug-in's
// help gives it, say what the call passed and, after "; ", how to fix it:
// "bins (input 5) is int32; pass double(bins)". They start in lower case
// (the host puts "<plug-in>: " before them) and end without a full stop.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "failure.h"
#include "mex.h"

namespace regkern {

template <class T> struct ElementClass;
template <> struct ElementClass<double> {
    static constexpr mxClassID id = mxDOUBLE_CLASS;
    static constexpr const char* name = "double";
};
template <> struct ElementClass<float> {
    static constexpr mxClassID id = mxSINGLE_CLASS;
    static constexpr const char* name = "single";
};

// An input as messages name it: its name in the plug-in's help and its
// position in the call, counted from 1.
struct InputName {
    const char* name;
    int number;
};

// "bins (input 5)".
std::string label(InputName input);

// The extents of an array as the host shows them: "4x3x0".
std::string size_text(const mxArray* array);

// A value as short as it can be written and still read back as the same T:
// "0.1", "2.5", "NaN", "-Inf".
std::string value_text(double value, bool as_single);
template <class T> std::string value_text(T value)
{
    return value_text(static_cast<double>(value), sizeof(T) == sizeof(float));
}

// Rejects a wrong count of inputs first, then of outputs, with the plug-in's
// fixed messages.
void check_counts(int nrhs, int expected_inputs, const char* input_message,
                  int nlhs, int expected_outputs, const char* output_message);

[[noreturn]] void fail_extent_too_large(uint64_t value, bool negative, InputName input);

// An mwSize (of whatever width and signedness the host uses) as an int32;
// larger values are rejected with the input's name.
template <class Size>
int32_t checked_extent(Size value, InputName input)
{
    if (value < 0 || static_cast<uint64_t>(value) > static_cast<uint64_t>(INT32_MAX))
        fail_extent_too_large(static_cast<uint64_t>(value), value < 0, input);
    return static_cast<int32_t>(value);
}

// The number of elements of an array, from all of its extents, as an int32.
int32_t element_count(const mxArray* array, InputName input);

[[noreturn]] void fail_leading_too_large(const mxArray* array, int n, InputName input);
[[noreturn]] void fail_hollow(const mxArray* array, int n, int64_t product, InputName input);

// The first N extents; extents the host does not report read as 1. The
// product of the N extents must fit in an int32 as well.
template <int N>
std::array<int32_t, N> leading_extents(const mxArray* array, InputName input)
{
    std::array<int32_t, N> extents;
    const mwSize ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    int64_t product = 1;
    for (int i = 0; i < N; ++i) {
        extents[i] = static_cast<mwSize>(i) < ndims ? checked_extent(dims[i], input) : 1;
        product *= extents[i];
        if (product > INT32_MAX) fail_leading_too_large(array, N, input);
    }
    // A later extent 0 leaves the array without the elements its leading
    // extents promise (and without data to read).
    if (static_cast<int64_t>(mxGetNumberOfElements(array)) < product)
        fail_hollow(array, N, product, input);
    return extents;
}

// True when the array has extents beyond the first N whose product is above
// 1: a plug-in that reads N extents uses only the first of its slices.
bool has_extra_slices(const mxArray* array, int n);

// Warns (extraSlices) that the listed inputs hold slices beyond the first n
// extents, of which the plug-in reads only the first.
void warn_extra_slices(GatewayWarnings& warnings, const std::vector<InputName>& inputs, int n);

// Rejects an array that is not real, full and of the expected class; the
// message says what it is and the conversion that makes it right.
void check_real_array(const mxArray* array, mxClassID expected, const char* class_name,
                      InputName input);

// The input must be a real, full (non-sparse) numeric array of class T.
template <class T>
const T* real_input(const mxArray* array, InputName input)
{
    check_real_array(array, ElementClass<T>::id, ElementClass<T>::name, input);
    return static_cast<const T*>(mxGetData(array));
}

[[noreturn]] void fail_empty(InputName input, const char* wanted);

// Element 0 of an input already checked by real_input; an empty one is
// refused with what to pass instead (`wanted`, e.g. "a whole number from 2
// to 46340").
template <class T>
T first_element(const mxArray* array, const T* data, InputName input, const char* wanted)
{
    if (mxGetNumberOfElements(array) < 1) fail_empty(input, wanted);
    return data[0];
}

// Rejects an input that holds fewer than the `needed` elements the plug-in
// reads; `per` says what each one stands for ("one per voxel of A (input 1)").
void check_min_elements(const mxArray* array, int64_t needed, InputName input,
                        const std::string& per);

// Creates a zero-filled real output of class T in *slot with the given
// dimension vector (passed to the host unchanged) and returns its data.
template <class T>
T* create_output(mxArray** slot, mwSize ndims, const mwSize* dims)
{
    *slot = mxCreateNumericArray(ndims, dims, ElementClass<T>::id, mxREAL);
    return static_cast<T*>(mxGetData(*slot));
}

// The host's "maxNumCompThreads" as a double (NaN when it gives no number).
double host_thread_count();

}  // namespace regkern
