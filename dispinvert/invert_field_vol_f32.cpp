// invert_field_vol_f32: invert_field's compiled call for a 3-D field in single: splat, refinement and residual statistics.
#include "dispinvert_invert_core.h"
#include "invert_field_mex.h"

REGKERN_INVERT_FIELD_PLUGIN(regkern::InvertFieldCall<float, 3, regkern::KernelOrder::low_axis_outermost>)
