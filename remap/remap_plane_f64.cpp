// remap_plane_f64: local intensity remapping of 2-D images in double precision.
#include "host_args.h"
#include "remap_core.h"

REGKERN_MEX_FUNCTION("remap_plane_f64", regkern::mex_gateway<regkern::RemapCall<double, 2>>)
