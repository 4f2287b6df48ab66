// remap_vol_f64: local intensity remapping of 3-D volumes in double precision.
#include "remap_gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    regkern::GatewayError error;
    try {
        regkern::remap_gateway<double, 3>(nlhs, plhs, nrhs, prhs);
    } catch (...) {
        regkern::record_failure("remap_vol_f64", error);
    }
    regkern::raise_if_failed(error);
}
