// dispinvert_vol_f64: inverts a 3-D field in double; the kernel loops run k outermost, then j, then i.
#include "gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    using regkern::KernelOrder;
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::dispinvert_gateway<double, 3, KernelOrder::high_axis_outermost>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("dispinvert_vol_f64", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("dispinvert_vol_f64", warnings);
}
