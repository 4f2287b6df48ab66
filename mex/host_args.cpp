#include "host_args.h"

#include <cmath>
#include <cstdio>

namespace regkern {

namespace {

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

void check_counts(int nrhs, int nlhs, const CallSignature& signature)
{
    if (nrhs != signature.inputs) fail("nrhs", signature.input_count_message);
    if (nlhs > signature.outputs || nlhs < signature.outputs - signature.optional_outputs)
        fail("nlhs", signature.output_count_message);
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
        // Integer intensities (imread gives uint8 or uint16): converting
        // them keeps 0..255, which the range [0 1] does not cover.
        const bool integer = id != mxDOUBLE_CLASS && id != mxSINGLE_CLASS &&
                             id != mxLOGICAL_CLASS && id != mxCHAR_CLASS;
        if (input.intensities && integer && !complex) {
            const std::string scaled = std::string("im2double(") + input.name + ")";
            fix = (expected == mxSINGLE_CLASS ? "single(" + scaled + ")" : scaled) +
                  " to scale its intensities to [0 1], or " + fix +
                  " to keep them and give the range they span";
        }
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

void raise_if_failed(const GatewayError& error)
{
    if (error.raised) mexErrMsgIdAndTxt(error.id, "%s", error.message);
}

void issue_warnings(const char* plugin, const GatewayWarnings& warnings)
{
    for (int k = 0; k < warnings.count; ++k) {
        char id[128];
        std::snprintf(id, sizeof id, "%s:%s", plugin, warnings.condition[k]);
        mexWarnMsgIdAndTxt(id, "%s", warnings.message[k]);
    }
}

}  // namespace regkern
