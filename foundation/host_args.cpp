#include "host_args.h"

#include <cmath>

namespace regkern {

void check_counts(int nrhs, int expected_inputs, const char* input_message,
                  int nlhs, int expected_outputs, const char* output_message)
{
    if (nrhs != expected_inputs) fail("nrhs", input_message);
    if (nlhs != expected_outputs) fail("nlhs", output_message);
}

int32_t element_count(const mxArray* array, const char* input)
{
    const mwSize ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    // An array with an extent 0 holds nothing, however large its other extents.
    for (mwSize i = 0; i < ndims; ++i)
        if (checked_extent(dims[i], input) == 0) return 0;
    int64_t count = 1;
    for (mwSize i = 0; i < ndims; ++i) {
        count *= checked_extent(dims[i], input);
        if (count > INT32_MAX)
            fail("tooLarge", std::string(input) + " has more elements than fit in 32 bits.");
    }
    return static_cast<int32_t>(count);
}

void check_real_array(const mxArray* array, mxClassID expected, const char* class_name,
                      const char* input)
{
    if (mxGetClassID(array) != expected || mxIsSparse(array) || mxIsComplex(array)) {
        std::string message = std::string(input) + " must be a real, full array of class " +
                              class_name + ".";
        if (mxIsSparse(array)) fail("sparse", message);
        if (mxIsComplex(array)) fail("complex", message);
        fail("badClass", message);
    }
}

void check_min_elements(const mxArray* array, int64_t needed, const char* input,
                        const char* reference)
{
    if (static_cast<int64_t>(mxGetNumberOfElements(array)) < needed)
        fail("sizeMismatch", std::string(input) + " must have at least as many elements as " +
                                 reference + ".");
}

double host_thread_count()
{
    mxArray* result = nullptr;
    mxArray* no_inputs = nullptr;
    mexCallMATLAB(1, &result, 0, &no_inputs, "maxNumCompThreads");
    if (result == nullptr || mxGetClassID(result) != mxDOUBLE_CLASS || mxIsSparse(result) ||
        mxGetNumberOfElements(result) < 1)
        return std::nan("");
    return mxGetPr(result)[0];
}

}  // namespace regkern
