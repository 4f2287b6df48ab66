function varargout = invert_field_plane_f64 (varargin)
% invert_field_plane_f64  invert_field's compiled call: splat, refine and measure a 2-D field (double).
%
%   [Fx, Fy, s] = invert_field_plane_f64 (bx, by, kernel, steps, tolerance, method, threads)
%
%   Call invert_field, which takes the options by name and builds info;
%   this is the one compiled call it makes for a 2-D field of class double:
%   the splat (dispinvert_plane_f64 with the kernel) into F, the refinement of F
%   in place (dispinvert_refine_plane_f64's step, or Newton's), and the statistics
%   of the residual r(q) = |F(q) + b(q + F(q))| (in pixels), with no array
%   made in between. Every input is checked before any work. Errors and
%   warnings carry the identifier invert_field:<condition>, as invert_field's
%   own do, and messages name the options as invert_field's caller writes
%   them ("tolerance is NaN").
%
%   Inputs: all real, full arrays of class double.
%     bx, by    the backward field, sx-by-sy, in pixels; every
%               component on bx's grid.
%     kernel    the splatting kernel H (see dispinvert_plane_f64).
%     steps     the most refinement steps, a whole number from 0 to 1000.
%     tolerance the largest residual to stop at, in pixels (finite, >= 0).
%     method    0 for the fixed-point step, 1 for Newton's.
%     threads   worker threads, a whole number of at least 1.
%
%   Outputs: F's components (class double) and s, a 1x5 double row: the steps
%   taken, the largest finite r, the mean of the finite r (summed in grid
%   order; NaN when none is finite), converged (1 when the largest r is at
%   most the tolerance and every point was refined) and the count of
%   unrefined points (r not finite).
%
%   Errors: identifier invert_field:<condition>, raised before any output.
%     nrhs          not 7 inputs: "Seven inputs are required."
%     nlhs          not 3 outputs: "Three outputs are required"
%     badClass      an input is not of class double
%     complex       an input is complex
%     sparse        an input is sparse
%     empty         an option is empty
%     sizeMismatch  a component is not on bx's grid, or the kernel holds
%                   fewer elements than its extents promise
%     tooLarge      the grid or the kernel has more than 2^31-1 elements
%     badSteps      steps is not one whole number from 0 to 1000
%     badTolerance  tolerance is not one finite number of at least 0
%     badMethod     method is not 0 or 1
%     badThreads    threads is not one whole number of at least 1
%     outOfMemory   no memory for the field and its scratch
%     threadStart   a worker thread could not be started
%     notBuilt      (from this file) the compiled plug-in is not on the path
%
%   Warnings: identifier invert_field:<condition>.
%     zeroKernel    the kernel is all zero or empty: F starts at 0
%     extraSlices   an input has slices beyond those read
%     partnerShape  a component has other extents than bx although it
%                   holds enough elements (a transposed component): it is
%                   read in bx's layout
%     notConverged  steps > 0 and the largest residual is still above the
%                   tolerance (the message says when it grew)
%     unrefined     some points' residual is not finite (b or the splat is
%                   NaN or infinite there): they keep the splat's value
%
%   Example:
%     b = 0.5 * ones (8, 8);
%     [Fx, Fy, s] = invert_field_plane_f64 (b, -b, 1, 20, 1e-6, 0, 1);
%     s(1:2)                              % steps taken, largest residual
%
%   See also invert_field, Contents.
  error ('invert_field:notBuilt', ...
         'invert_field_plane_f64 is not built; run "make build" (Octave) or build_mex (MATLAB) and add the folder of the binaries to the path');
end
