// dispinvert_vol_f64: inverts a 3-D field in double; the kernel loops run k outermost, then j, then i.
#include "host_args.h"
#include "dispinvert_core.h"

REGKERN_MEX_FUNCTION("dispinvert_vol_f64", regkern::mex_gateway<regkern::InversionCall<double, 3, regkern::KernelOrder::high_axis_outermost>>)
