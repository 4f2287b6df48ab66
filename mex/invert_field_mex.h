// invert_field's MEX front end: the steps of mex_gateway (host_args.h), but
// the last output is the summary, a double row whatever the field's class,
// and the thread count is an input (the M-file passes maxNumCompThreads
// unless the caller gives 'threads').
#pragma once

#include <array>

// The binding (InvertFieldCall, dispinvert_invert_core.h) comes from the
// plug-in's own source, which includes its family's core first, as every
// plug-in does.
#include "host_args.h"

namespace regkern {

template <class Call>
void mex_invert_field_gateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                              GatewayWarnings& warnings)
{
    using T = typename Call::Element;
    const CallSignature& signature = Call::signature;
    check_counts(nrhs, nlhs, signature);
    std::array<PlainArray, Call::input_count> inputs;
    for (int k = 0; k < signature.inputs; ++k) inputs[k] = host_input<T>(prhs[k], signature.names[k]);
    const typename Call::Plan plan = Call::check(inputs.data(), warnings);
    constexpr int components = Call::output_count - 1;
    std::array<T*, components> field{};
    for (int a = 0; a < components; ++a)
        field[a] = create_output<T>(&plhs[a], plan.output[a], plan.zero_fill);
    double* summary = create_output<double>(&plhs[components], plan.output[components], false);
    Call::run(plan, field.data(), summary, warnings);
}

}  // namespace regkern

// The plug-ins report as the function their callers call: invert_field.
#define REGKERN_INVERT_FIELD_PLUGIN(...) \
    REGKERN_MEX_FUNCTION("invert_field", regkern::mex_invert_field_gateway<__VA_ARGS__>)
