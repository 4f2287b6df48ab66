// dispinvert_refine_plane_f64: refines a 2-D forward field toward the inverse of a backward field, in double.
#include "host_args.h"
#include "dispinvert_refine_core.h"

REGKERN_MEX_FUNCTION("dispinvert_refine_plane_f64", regkern::mex_gateway<regkern::RefinementCall<double, 2>>)
