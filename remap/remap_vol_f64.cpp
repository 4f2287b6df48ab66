// remap_vol_f64: local intensity remapping of 3-D volumes in double precision.
#include "host_args.h"
#include "remap_core.h"

REGKERN_MEX_FUNCTION("remap_vol_f64", regkern::mex_gateway<regkern::RemapCall<double, 3>>)
