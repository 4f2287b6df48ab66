function varargout = dispinvert_plane_f64 (varargin)
% dispinvert_plane_f64  Invert a 2-D backward displacement field by forward splatting (double).
%
%   [Fx, Fy] = dispinvert_plane_f64 (bx, by, H)
%
%   Turns the backward displacement field b = (bx, by) into the forward
%   field F on the same pixel grid. Pixel p corresponds to the point
%   q = p + b(p): the value -b(p) is carried to q, shared among the four
%   pixels around q by bilinear weights and spread again by the kernel H.
%   Values and weights are summed per pixel, and each pixel's sum is divided
%   by its summed weight plus 1e-8. Where samples are dense, q + F(q) comes
%   back to p; a pixel that no share reaches gets F = 0. Runs on
%   maxNumCompThreads threads; the result does not depend on their number.
%
%   Coordinates: x runs along the first dimension and y along the second;
%   displacements are in pixels along those axes, so the point that pixel
%   (i,j) maps to is (i + bx(i,j), j + by(i,j)) in the same array indices.
%
%   Inputs: all three real, full arrays of class double.
%     bx       sx-by-sy backward displacement along x, in pixels. Its first
%              two extents set the grid; of a 3-D array only the first plane
%              is used.
%     by       backward displacement along y, in pixels: at least sx*sy
%              elements, read in bx's layout.
%     H        Kx-by-Ky splatting kernel (unitless, used as given: not
%              normalised, and its scale cancels in the division). H(i,j)
%              acts at the offset (i-1-floor(Kx/2), j-1-floor(Ky/2)) pixels,
%              so odd extents are centred. H = 1 does no spreading; a kernel
%              with a zero extent gives F = 0.
%
%   Outputs: class double, sx-by-sy.
%     Fx, Fy   forward displacement along x and y, in pixels.
%
%   Shares that land outside the grid are dropped. A pixel whose splat point
%   is not finite, or lies beyond 2^31 pixels, contributes nothing.
%
%   Errors: identifier dispinvert_plane_f64:<condition>, raised before any
%   output is made. The message names the input as above, "H (input 3)",
%   says what the call passed and how to fix it: "H (input 3) is int32;
%   pass double(H)".
%     nrhs          not 3 inputs: "Three inputs are required." (checked first)
%     nlhs          not 2 outputs: "Two outputs are required"
%     badClass      an input is not of class double
%     complex       an input is complex
%     sparse        an input is sparse
%     sizeMismatch  by holds fewer elements than the grid, or H fewer than
%                   its first two extents give
%     tooLarge      the grid or the kernel has more than 2^31-1 elements
%     outOfMemory   no memory for the per-pixel weight sums
%     notBuilt      (from this file) the compiled plug-in is not on the path
%
%   Warnings: identifier dispinvert_plane_f64:<condition>; the call is carried
%   out all the same, with the results it gives without the warning.
%   Silence one with warning ('off', 'dispinvert_plane_f64:<condition>').
%     zeroKernel    H is empty or all zero: every output is 0
%     partnerShape  by has other extents than bx although it holds
%                   enough elements (a transposed component, by', or
%                   [by; by]): it is read in bx's layout, so its
%                   displacements land on the wrong points
%     extraSlices   bx, by or H has more than one slice: only the first
%                   slice of each is used
%
%   Example:
%     [x, y] = ndgrid (0:31, 0:31);
%     bx = 1.5 * sin (2 * pi * y / 32);   % a smooth shear along x
%     by = zeros (32, 32);
%     [Fx, Fy] = dispinvert_plane_f64 (bx, by, 1);
%     % F undoes b: F(p + b(p)) + b(p) is near 0 away from the border
%     e = interp2 (Fx, y + 1, x + 1 + bx) + bx;   % interp2 takes (column, row)
%     max (max (abs (e(4:end-3, :))))     % below 0.01 pixels
%
%   See also dispinvert_vol_f64, dispinvert_vol_f32, interp2, Contents.
  error ('dispinvert_plane_f64:notBuilt', ...
         'dispinvert_plane_f64 is not built; run "make build" (Octave) or build_mex (MATLAB) and add the folder of the binaries to the path');
end
