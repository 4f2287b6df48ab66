// dispinvert_vol_f32: inverts a 3-D field in single; the kernel loops run i outermost, then j, then k.
#include "host_args.h"
#include "dispinvert_core.h"

REGKERN_MEX_FUNCTION("dispinvert_vol_f32", regkern::mex_gateway<regkern::InversionCall<float, 3, regkern::KernelOrder::low_axis_outermost>>)
