// invert_field_plane_f64: invert_field's compiled call for a 2-D field in double: splat, refinement and residual statistics.
#include "dispinvert_invert_core.h"
#include "invert_field_mex.h"

REGKERN_INVERT_FIELD_PLUGIN(regkern::InvertFieldCall<double, 2, regkern::KernelOrder::high_axis_outermost>)
