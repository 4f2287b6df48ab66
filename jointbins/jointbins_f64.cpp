// jointbins_f64: joint histogram of two double-precision images and the histogram
// of each.
#include "host_args.h"
#include "jointbins_core.h"

REGKERN_MEX_FUNCTION("jointbins_f64", regkern::mex_gateway<regkern::JointbinsCall<double>>)
