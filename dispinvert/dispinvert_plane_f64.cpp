// dispinvert_plane_f64: inverts a 2-D field in double; the kernel loops run j outermost, then i.
#include "host_args.h"
#include "dispinvert_core.h"

REGKERN_MEX_FUNCTION("dispinvert_plane_f64", regkern::mex_gateway<regkern::InversionCall<double, 2, regkern::KernelOrder::high_axis_outermost>>)
