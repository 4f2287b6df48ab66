function varargout = dispinvert_refine_plane_f64 (varargin)
% dispinvert_refine_plane_f64  Refine a 2-D forward field toward the exact inverse of a backward field (double).
%
%   [Fx, Fy, r, done] = dispinvert_refine_plane_f64 (bx, by, Fx0, Fy0, steps, tol)
%
%   Improves a forward field F, such as the one dispinvert_plane_f64 gives,
%   until q + F(q) + b(q + F(q)) = q holds at every pixel q: each step
%   replaces F by F_new(q) = -b(q + F(q)), b sampled bilinearly. Every pixel
%   moves on from its own F alone (the steps are Jacobi steps), so the
%   result does not depend on the order or the number of threads
%   (maxNumCompThreads). The refinement stops after `steps` steps, or
%   earlier, as soon as the largest residual
%
%     r(q) = |F(q) + b(q + F(q))|   (Euclidean, in pixels)
%
%   over the grid is at most tol. Where b is smooth (it changes by less
%   than a pixel per pixel) each step shrinks the residual by about the
%   slope of b. Each step costs about as much as a splat with H = 1; the
%   residual of the field returned costs one more pass over the grid.
%
%   Coordinates as for dispinvert_plane_f64: x runs along the first
%   dimension and y along the second; displacements are in pixels.
%
%   Inputs: all six real, full arrays of class double.
%     bx, by    sx-by-sy backward displacement, in pixels. bx's first two
%               extents set the grid; of a 3-D array only the first plane
%               is used.
%     Fx0, Fy0  the starting forward field, on the same grid.
%     steps     the most steps to take: a whole number from 0 to 1000. 0
%               takes none and measures the residual of F0.
%     tol       the largest residual to stop at, in pixels (finite, at
%               least 0; 0 stops only where F is exact).
%
%   Outputs: class double.
%     Fx, Fy   the refined forward field, sx-by-sy.
%     r        the residual of that field at every pixel (optional).
%     done     the number of steps taken (optional).
%
%   Sampling: every coordinate of q + F(q) is clamped to the grid's box
%   before b is interpolated, so b is taken as constant beyond the edges.
%   A pixel whose residual is not finite (its F or a b value it reads is
%   NaN or infinite) keeps its value; its r is NaN or Inf, and it takes no
%   part in the stopping rule. A NaN never spreads to other pixels.
%
%   Errors: identifier dispinvert_refine_plane_f64:<condition>, raised
%   before any output is made. The message names the input as above, "tol
%   (input 6)", says what the call passed and how to fix it: "steps
%   (input 5) is 2.5; pass a whole number from 0 to 1000".
%     nrhs          not 6 inputs: "Six inputs are required." (checked first)
%     nlhs          not 2 to 4 outputs: "Two to four outputs are required"
%     badClass      an input is not of class double
%     complex       an input is complex
%     sparse        an input is sparse
%     empty         steps or tol is empty
%     sizeMismatch  a field component's first two extents are not bx's
%     tooLarge      the grid has more than 2^31-1 elements
%     badSteps      steps is not a whole number from 0 to 1000
%     badTolerance  tol is NaN, infinite or negative
%     outOfMemory   no memory for the outputs and the scratch fields
%     badRegion     (never from this plug-in: Python's chunked refinement,
%                   one pass over a box) the box or b's part lies outside
%                   the whole grid, or b's part misses part of the box
%     haloTooThin   (never from this plug-in: as badRegion) a point reads
%                   b outside the part given; give it a halo of
%                   ceil(max |F|) + 1 points around the box
%     notBuilt      (from this file) the compiled plug-in is not on the path
%
%   Warnings: identifier dispinvert_refine_plane_f64:<condition>; the call
%   is carried out all the same, with the results it gives without the
%   warning. Silence one with
%   warning ('off', 'dispinvert_refine_plane_f64:<condition>').
%     notConverged  steps > 0 and the largest residual is still above tol;
%                   the message gives it, and says so when it grew from one
%                   step to the next: b folds (p + b(p) is not one-to-one)
%                   or changes by a pixel or more per pixel there
%     extraSlices   a field component has more than one slice: only the
%                   first slice of each is used
%
%   Example:
%     [x, y] = ndgrid (0:31, 0:31);
%     bx = 1.5 * sin (2 * pi * x / 32);   % smooth, along x
%     by = zeros (32, 32);
%     [Fx, Fy] = dispinvert_plane_f64 (bx, by, 1);
%     [Fx, Fy, r, done] = dispinvert_refine_plane_f64 (bx, by, Fx, Fy, 20, 1e-6);
%     [done, max(r(:))]                   % about 10 steps, r at most 1e-6
%
%   See also invert_field, dispinvert_plane_f64, dispinvert_refine_vol_f64,
%   Contents.
  error ('dispinvert_refine_plane_f64:notBuilt', ...
         'dispinvert_refine_plane_f64 is not built; run "make build" (Octave) or build_mex (MATLAB) and add the folder of the binaries to the path');
end
