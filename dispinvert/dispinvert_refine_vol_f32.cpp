// dispinvert_refine_vol_f32: refines a 3-D forward field toward the inverse of a backward field, in single.
#include "dispinvert_refine_gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::dispinvert_refine_gateway<float, 3>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("dispinvert_refine_vol_f32", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("dispinvert_refine_vol_f32", warnings);
}
