// invert_field_vol_f64: invert_field's compiled call for a 3-D field in double: splat, refinement and residual statistics.
#include "dispinvert_invert_core.h"
#include "invert_field_mex.h"

REGKERN_INVERT_FIELD_PLUGIN(regkern::InvertFieldCall<double, 3, regkern::KernelOrder::high_axis_outermost>)
