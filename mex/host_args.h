// The MEX front end every plug-in uses (GNU Octave, MATLAB and the stand-in
// host): argument counts, the class of each input, the plain description
// of each input the core checks (plain_array.h), output creation, the
// host's thread count, and raising the recorded error and warnings.
//
// Works with any host whose mex.h gives mwSize as a 32- or 64-bit, signed or
// unsigned integer. Every check throws a Failure (failure.h); only
// raise_if_failed and issue_warnings, called from mexFunction, call the
// host's error or warning functions.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "failure.h"
#include "mex.h"
#include "plain_array.h"

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

// Rejects a wrong count of inputs first, then of outputs (the optional ones
// may be left off), with the plug-in's fixed messages.
void check_counts(int nrhs, int nlhs, const CallSignature& signature);

// Rejects an array that is not real, full and of the expected class; the
// message says what it is and the conversion that makes it right.
void check_real_array(const mxArray* array, mxClassID expected, const char* class_name,
                      InputName input);

// The input, which must be a real, full (non-sparse) numeric array of class
// T, as the core reads it.
template <class T>
PlainArray host_input(const mxArray* array, InputName input)
{
    check_real_array(array, ElementClass<T>::id, ElementClass<T>::name, input);
    return plain_array(mxGetData(array), static_cast<uint64_t>(mxGetNumberOfElements(array)),
                       mxGetDimensions(array), static_cast<int64_t>(mxGetNumberOfDimensions(array)));
}

// Creates a real output of class T in *slot with the given shape, filled
// with zeros or left as the host's allocation leaves it, and returns its
// data. A failed creation leaves through the host's error exit.
template <class T>
T* create_output(mxArray** slot, const OutputShape& shape, bool zero_fill)
{
    mwSize dims[3];
    for (int a = 0; a < shape.ndims; ++a) dims[a] = static_cast<mwSize>(shape.extent[a]);
    *slot = zero_fill
                ? mxCreateNumericArray(shape.ndims, dims, ElementClass<T>::id, mxREAL)
                : mxCreateUninitNumericArray(shape.ndims, dims, ElementClass<T>::id, mxREAL);
    return static_cast<T*>(mxGetData(*slot));
}

// The host's "maxNumCompThreads" as a double (NaN when it gives no number).
double host_thread_count();

// A plug-in's call through its core (Call: RemapCall, InversionCall or
// JointbinsCall): counts, classes, the core's checks, the outputs as the
// plan shapes them, the core's run on the host's thread count. Nothing
// with a destructor is alive while the outputs are created: a failed
// creation leaves through the host's error exit.
template <class Call>
void mex_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                 GatewayWarnings& warnings)
{
    using T = typename Call::Element;
    const CallSignature& signature = Call::signature;
    check_counts(nrhs, nlhs, signature);
    std::array<PlainArray, Call::input_count> inputs;
    for (int k = 0; k < signature.inputs; ++k) inputs[k] = host_input<T>(prhs[k], signature.names[k]);
    const typename Call::Plan plan = Call::check(inputs.data(), warnings);
    const double host_threads = host_thread_count();
    // Optional outputs the call leaves off are not made: the run sees nullptr.
    std::array<T*, Call::output_count> outputs{};
    for (int k = 0; k < nlhs; ++k)
        outputs[k] = create_output<T>(&plhs[k], plan.output[k], plan.zero_fill);
    Call::run(plan, outputs.data(), host_threads, warnings);
}

// Raises the recorded error through the host (does not return) when there is
// one. Call it in mexFunction after the gateway has returned.
void raise_if_failed(const GatewayError& error);

// Issues the recorded warnings through the host. Call it last in mexFunction.
void issue_warnings(const char* plugin, const GatewayWarnings& warnings);

}  // namespace regkern

// The mexFunction of a plug-in: the gateway (e.g.
// regkern::mex_gateway<regkern::RemapCall<float, 3>>) runs with every failure
// recorded in plain buffers; the host's error exit, which may skip C++
// destructors, is raised here once every C++ object of the call is gone.
#define REGKERN_MEX_FUNCTION(plugin, ...)                                            \
    void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])    \
    {                                                                                \
        regkern::GatewayError error;       /* plain buffers: nothing to destroy */  \
        regkern::GatewayWarnings warnings; /* likewise */                           \
        try {                                                                        \
            __VA_ARGS__(nlhs, plhs, nrhs, prhs, warnings);                           \
        } catch (...) {                                                              \
            regkern::record_failure(plugin, error);                                  \
        }                                                                            \
        regkern::raise_if_failed(error);                                             \
        regkern::issue_warnings(plugin, warnings);                                   \
    }
