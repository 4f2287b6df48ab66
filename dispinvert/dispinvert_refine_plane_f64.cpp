// dispinvert_refine_plane_f64: refines a 2-D forward field toward the inverse of a backward field, in double.
#include "dispinvert_refine_gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::dispinvert_refine_gateway<double, 2>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("dispinvert_refine_plane_f64", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("dispinvert_refine_plane_f64", warnings);
}
