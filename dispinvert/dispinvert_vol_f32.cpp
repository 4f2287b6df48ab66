// dispinvert_vol_f32: inverts a 3-D field in single; the kernel loops run i outermost, then j, then k.
#include "gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    using regkern::KernelOrder;
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::dispinvert_gateway<float, 3, KernelOrder::low_axis_outermost>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("dispinvert_vol_f32", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("dispinvert_vol_f32", warnings);
}
