function varargout = dispinvert_vol_f64 (varargin)
% dispinvert_vol_f64  Invert a 3-D backward displacement field by forward splatting (double).
%
%   [Fx, Fy, Fz] = dispinvert_vol_f64 (bx, by, bz, H)
%
%   Turns the backward displacement field b = (bx, by, bz) into the forward
%   field F on the same voxel grid. Voxel p corresponds to the point
%   q = p + b(p): the value -b(p) is carried to q, shared among the eight
%   voxels around q by trilinear weights and spread again by the kernel H.
%   Values and weights are summed per voxel, and each voxel's sum is divided
%   by its summed weight plus 1e-8. Where samples are dense, q + F(q) comes
%   back to p; a voxel that no share reaches gets F = 0. Runs on
%   maxNumCompThreads threads; the result does not depend on their number.
%
%   Coordinates: x runs along the first dimension, y the second, z the
%   third; displacements are in voxels along those axes, so the point that
%   voxel (i,j,k) maps to is (i + bx(i,j,k), j + by(i,j,k), k + bz(i,j,k))
%   in the same array indices.
%
%   Inputs: all four real, full arrays of class double.
%     bx       sx-by-sy-by-sz backward displacement along x, in voxels. Its
%              first three extents set the grid (missing extents read as 1).
%     by, bz   backward displacement along y and z, in voxels: at least
%              sx*sy*sz elements each, read in bx's layout.
%     H        Kx-by-Ky-by-Kz splatting kernel (unitless, used as given: not
%              normalised, and its scale cancels in the division). H(i,j,k)
%              acts at the offset (i-1-floor(Kx/2), j-1-floor(Ky/2),
%              k-1-floor(Kz/2)) voxels, so odd extents are centred. H = 1
%              does no spreading; a kernel with a zero extent gives F = 0.
%
%   Outputs: class double, sx-by-sy-by-sz.
%     Fx, Fy, Fz  forward displacement along x, y and z, in voxels.
%
%   Shares that land outside the grid are dropped. A voxel whose splat point
%   is not finite, or lies beyond 2^31 voxels, contributes nothing.
%
%   Errors: identifier dispinvert_vol_f64:<condition>, raised before any
%   output is made. The message names the input as above, "H (input 4)",
%   says what the call passed and how to fix it: "H (input 4) is int32;
%   pass double(H)".
%     nrhs          not 4 inputs: "Four inputs are required." (checked first)
%     nlhs          not 3 outputs: "Three outputs are required"
%     badClass      an input is not of class double
%     complex       an input is complex
%     sparse        an input is sparse
%     sizeMismatch  by or bz holds fewer elements than the grid, or H fewer
%                   than its first three extents give
%     tooLarge      the grid or the kernel has more than 2^31-1 elements
%     outOfMemory   no memory for the per-voxel weight sums
%     notBuilt      (from this file) the compiled plug-in is not on the path
%
%   Warnings: identifier dispinvert_vol_f64:<condition>; the call is carried
%   out all the same, with the results it gives without the warning.
%   Silence one with warning ('off', 'dispinvert_vol_f64:<condition>').
%     zeroKernel    H is empty or all zero: every output is 0
%     extraSlices   bx, by, bz or H holds more than one volume (an extent
%                   beyond the third above 1): only the first volume of
%                   each is used
%
%   Example:
%     bx = 2 * ones (8, 8, 8);            % every voxel looks 2 voxels along x
%     o = zeros (8, 8, 8);
%     [Fx, Fy, Fz] = dispinvert_vol_f64 (bx, o, o, 1);
%     squeeze (Fx(:, 4, 4))'              % 0 0 -2 -2 -2 -2 -2 -2 (-2/(1+1e-8))
%
%   See also dispinvert_vol_f32, dispinvert_plane_f64, interp3, Contents.
  error ('dispinvert_vol_f64:notBuilt', ...
         'dispinvert_vol_f64 is not built; run "make build" (Octave) or build_mex (MATLAB) and add the folder of the binaries to the path');
end
