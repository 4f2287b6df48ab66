#include "host_args.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace regkern {

namespace {

const char* const extent_words[] = {"", "first extent", "first two extents",
                                    "first three extents"};

const char* leading_words(int n) { return n >= 1 && n <= 3 ? extent_words[n] : "leading extents"; }

// The class of a numeric, logical or character array as the host names it;
// nullptr for the classes no conversion function turns into numbers.
const char* convertible_class_name(mxClassID id)
{
    switch (id) {
    case mxDOUBLE_CLASS: return "double";
    case mxSINGLE_CLASS: return "single";
    case mxINT8_CLASS: return "int8";
    case mxUINT8_CLASS: return "uint8";
    case mxINT16_CLASS: return "int16";
    case mxUINT16_CLASS: return "uint16";
    case mxINT32_CLASS: return "int32";
    case mxUINT32_CLASS: return "uint32";
    case mxINT64_CLASS: return "int64";
    case mxUINT64_CLASS: return "uint64";
    case mxLOGICAL_CLASS: return "logical";
    case mxCHAR_CLASS: return "char";
    default: return nullptr;
    }
}

const char* container_description(mxClassID id)
{
    switch (id) {
    case mxCELL_CLASS: return "a cell array";
    case mxSTRUCT_CLASS: return "a struct";
    case mxFUNCTION_CLASS: return "a function handle";
    default: return "not a numeric array";
    }
}

}  // namespace

std::string label(InputName input)
{
    return std::string(input.name) + " (input " + std::to_string(input.number) + ")";
}

std::string size_text(const mxArray* array)
{
    const mwSize ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    std::string text;
    for (mwSize i = 0; i < ndims; ++i) {
        if (i > 0) text += "x";
        text += std::to_string(static_cast<unsigned long long>(dims[i]));
    }
    return text.empty() ? "0x0" : text;
}

std::string value_text(double value, bool as_single)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
    char text[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        const double back = std::strtod(text, nullptr);
        if (as_single ? static_cast<float>(back) == static_cast<float>(value) : back == value)
            break;
    }
    return text;
}

void check_counts(int nrhs, int expected_inputs, const char* input_message,
                  int nlhs, int expected_outputs, const char* output_message)
{
    if (nrhs != expected_inputs) fail("nrhs", input_message);
    if (nlhs != expected_outputs) fail("nlhs", output_message);
}

void fail_extent_too_large(uint64_t value, bool negative, InputName input)
{
    const std::string extent = negative ? "a negative extent"
                                        : "an extent of " + std::to_string(value);
    fail("tooLarge", label(input) + " has " + extent + "; pass an array whose extents are at "
                                                       "most 2^31 - 1");
}

int32_t element_count(const mxArray* array, InputName input)
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
            fail("tooLarge", label(input) + " is " + size_text(array) +
                                 ", more than 2^31 - 1 elements; pass a smaller array");
    }
    return static_cast<int32_t>(count);
}

void fail_leading_too_large(const mxArray* array, int n, InputName input)
{
    fail("tooLarge", label(input) + " is " + size_text(array) + ": its " + leading_words(n) +
                         " give more than 2^31 - 1 elements; pass a smaller array");
}

void fail_hollow(const mxArray* array, int n, int64_t product, InputName input)
{
    const mwSize* dims = mxGetDimensions(array);
    const mwSize ndims = mxGetNumberOfDimensions(array);
    std::string wanted;
    for (int i = 0; i < n; ++i) {
        if (i > 0) wanted += "x";
        wanted += std::to_string(static_cast<mwSize>(i) < ndims
                                     ? static_cast<unsigned long long>(dims[i])
                                     : 1ULL);
    }
    fail("sizeMismatch", label(input) + " is " + size_text(array) + " and holds " +
                             std::to_string(mxGetNumberOfElements(array)) + " elements, not the " +
                             std::to_string(product) + " its " + leading_words(n) +
                             " give; pass a " + wanted + " array");
}

bool has_extra_slices(const mxArray* array, int n)
{
    const mwSize ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    for (mwSize i = static_cast<mwSize>(n); i < ndims; ++i)
        if (dims[i] == 0) return false;  // no elements at all
    for (mwSize i = static_cast<mwSize>(n); i < ndims; ++i)
        if (dims[i] > 1) return true;
    return false;
}

void warn_extra_slices(GatewayWarnings& warnings, const std::vector<InputName>& inputs, int n)
{
    if (inputs.empty()) return;
    std::string names;
    for (size_t k = 0; k < inputs.size(); ++k) {
        if (k > 0) names += k + 1 == inputs.size() ? " and " : ", ";
        names += label(inputs[k]);
    }
    const bool one = inputs.size() == 1;
    const char* unit = n == 2 ? "slice" : "volume";
    std::string fix = n == 2 ? (one ? "a 2-D array" : "2-D arrays") : (one ? "a 3-D array" : "3-D arrays");
    if (n == 2) fix += " (the volume plug-ins take volumes)";
    warn(warnings, "extraSlices",
         names + (one ? " has" : " have") + " more than one " + unit + (one ? "" : " each") +
             ": only the first" + (one ? "" : " of each") + " is used; pass " + fix);
}

void check_real_array(const mxArray* array, mxClassID expected, const char* class_name,
                      InputName input)
{
    const mxClassID id = mxGetClassID(array);
    const bool sparse = mxIsSparse(array);
    const bool complex = mxIsComplex(array);
    if (id == expected && !sparse && !complex) return;

    std::string received;
    std::string fix;
    const char* got_class = convertible_class_name(id);
    if (!got_class) {
        received = container_description(id);
        fix = std::string("a real ") + class_name + " array";
    } else {
        received = std::string(sparse ? "sparse " : "") + (complex ? "complex " : "") + got_class;
        // The conversions that make it right, innermost first.
        fix = input.name;
        if (sparse) fix = "full(" + fix + ")";
        if (complex) fix = "real(" + fix + ")";
        if (id != expected) fix = std::string(class_name) + "(" + fix + ")";
        // A double scalar given to a single plug-in: show the call to write.
        if (expected == mxSINGLE_CLASS && id == mxDOUBLE_CLASS && !sparse && !complex &&
            mxGetNumberOfElements(array) == 1)
            fix = std::string(class_name) + "(" +
                  value_text(static_cast<const double*>(mxGetData(array))[0], false) + ")";
    }
    std::string message = label(input) + " is " + received + "; pass " + fix;
    if (expected == mxSINGLE_CLASS && id != expected)
        message += ": every input, scalars included, must be single";
    if (sparse) fail("sparse", message);
    if (complex) fail("complex", message);
    fail("badClass", message);
}

void fail_empty(InputName input, const char* wanted)
{
    fail("empty", label(input) + " is empty; pass " + wanted);
}

void check_min_elements(const mxArray* array, int64_t needed, InputName input,
                        const std::string& per)
{
    const int64_t held = static_cast<int64_t>(mxGetNumberOfElements(array));
    if (held < needed)
        fail("sizeMismatch", label(input) + " has " + std::to_string(held) +
                                 (held == 1 ? " element" : " elements") + "; pass at least " +
                                 std::to_string(needed) + ", " + per);
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
