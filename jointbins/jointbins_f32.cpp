// jointbins_f32: joint histogram of two single-precision images and the histogram
// of each.
#include "jointbins_gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::jointbins_gateway<float>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("jointbins_f32", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("jointbins_f32", warnings);
}
