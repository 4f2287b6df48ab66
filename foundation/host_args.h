// The host-array layer every gateway uses: argument counts, class checks,
// extents as 32-bit ints, typed data access and output creation.
//
// Works with any host whose mex.h gives mwSize as a 32- or 64-bit, signed or
// unsigned integer. Every check throws a Failure (failure.h); nothing here
// calls the host's error exit.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>

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

// Rejects a wrong count of inputs first, then of outputs, with the plug-in's
// fixed messages.
void check_counts(int nrhs, int expected_inputs, const char* input_message,
                  int nlhs, int expected_outputs, const char* output_message);

// An mwSize (of whatever width and signedness the host uses) as an int32;
// larger values are rejected with the input's name.
template <class Size>
int32_t checked_extent(Size value, const char* input)
{
    if (value < 0 || static_cast<uint64_t>(value) > static_cast<uint64_t>(INT32_MAX))
        fail("tooLarge", std::string(input) + " has an extent that does not fit in 32 bits.");
    return static_cast<int32_t>(value);
}

// The number of elements of an array, from all of its extents, as an int32.
int32_t element_count(const mxArray* array, const char* input);

// The first N extents; extents the host does not report read as 1. The
// product of the N extents must fit in an int32 as well.
template <int N>
std::array<int32_t, N> leading_extents(const mxArray* array, const char* input)
{
    std::array<int32_t, N> extents;
    const mwSize ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    int64_t product = 1;
    for (int i = 0; i < N; ++i) {
        extents[i] = static_cast<mwSize>(i) < ndims ? checked_extent(dims[i], input) : 1;
        product *= extents[i];
        if (product > INT32_MAX)
            fail("tooLarge", std::string(input) + " has more elements than fit in 32 bits.");
    }
    // A later extent 0 leaves the array without the elements its leading
    // extents promise (and without data to read).
    if (static_cast<int64_t>(mxGetNumberOfElements(array)) < product) {
        const char* count_word = N == 2 ? "two" : N == 3 ? "three" : "leading";
        fail("sizeMismatch", std::string(input) + " must hold at least " +
                                 std::to_string(product) + " elements, as its first " +
                                 count_word + " extents give.");
    }
    return extents;
}

void check_real_array(const mxArray* array, mxClassID expected, const char* class_name,
                      const char* input);

// The input must be a real, full (non-sparse) numeric array of class T.
template <class T>
const T* real_input(const mxArray* array, const char* input)
{
    check_real_array(array, ElementClass<T>::id, ElementClass<T>::name, input);
    return static_cast<const T*>(mxGetData(array));
}

// Element 0 of a non-empty input (already checked by real_input).
template <class T>
T first_element(const mxArray* array, const T* data, const char* input)
{
    if (mxGetNumberOfElements(array) < 1) fail("empty", std::string(input) + " must not be empty.");
    return data[0];
}

// Rejects an input that holds fewer than the elements the plug-in reads.
void check_min_elements(const mxArray* array, int64_t needed, const char* input,
                        const char* reference);

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
