// dispinvert_refine_vol_f32: refines a 3-D forward field toward the inverse of a backward field, in single.
#include "host_args.h"
#include "dispinvert_refine_core.h"

REGKERN_MEX_FUNCTION("dispinvert_refine_vol_f32", regkern::mex_gateway<regkern::RefinementCall<float, 3>>)
