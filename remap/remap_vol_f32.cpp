// remap_vol_f32: local intensity remapping of 3-D volumes in single precision.
#include "host_args.h"
#include "remap_core.h"

REGKERN_MEX_FUNCTION("remap_vol_f32", regkern::mex_gateway<regkern::RemapCall<float, 3>>)
