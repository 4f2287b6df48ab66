// jointbins_f32: joint histogram of two single-precision images and the histogram
// of each.
#include "host_args.h"
#include "jointbins_core.h"

REGKERN_MEX_FUNCTION("jointbins_f32", regkern::mex_gateway<regkern::JointbinsCall<float>>)
