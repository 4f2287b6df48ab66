// dispinvert_refine_vol_f64: refines a 3-D forward field toward the inverse of a backward field, in double.
#include "host_args.h"
#include "dispinvert_refine_core.h"

REGKERN_MEX_FUNCTION("dispinvert_refine_vol_f64", regkern::mex_gateway<regkern::RefinementCall<double, 3>>)
