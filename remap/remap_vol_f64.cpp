// remap_vol_f64: local intensity remapping of 3-D volumes in double precision.
#include "remap_gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::remap_gateway<double, 3>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("remap_vol_f64", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("remap_vol_f64", warnings);
}
