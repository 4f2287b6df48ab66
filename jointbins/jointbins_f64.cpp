// jointbins_f64: joint histogram of two double-precision images and the histogram
// of each.
#include "jointbins_gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::jointbins_gateway<double>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("jointbins_f64", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("jointbins_f64", warnings);
}
