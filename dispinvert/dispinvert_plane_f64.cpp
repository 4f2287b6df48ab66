// dispinvert_plane_f64: inverts a 2-D field in double; the kernel loops run j outermost, then i.
#include "gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    using regkern::KernelOrder;
    regkern::GatewayError error;        // plain buffers: nothing to destroy
    regkern::GatewayWarnings warnings;  // likewise
    try {
        regkern::dispinvert_gateway<double, 2, KernelOrder::high_axis_outermost>(nlhs, plhs, nrhs, prhs, warnings);
    } catch (...) {
        regkern::record_failure("dispinvert_plane_f64", error);
    }
    regkern::raise_if_failed(error);
    regkern::issue_warnings("dispinvert_plane_f64", warnings);
}
