function varargout = remap_vol_f64 (varargin)
% remap_vol_f64  Local intensity remapping of volumes through block-wise joint histograms (double).
%
%   [out_a, out_b] = remap_vol_f64 (A, B, C, D, range, bins, weights, spacing)
%
%   Lays a grid of cubic blocks of edge SPACING voxels over the volumes. For
%   every block it gathers two weighted joint histograms in a window centred
%   on the block, A against D and C against B (each sample shared bilinearly
%   between four bins and weighted by WEIGHTS at its window position), and
%   maps every voxel of the block to the partner intensity seen most often
%   with its own. OUT_A is A expressed in D's intensities, OUT_B is B
%   expressed in C's. The block layers along the third dimension are shared
%   among maxNumCompThreads worker threads; the result is the same for every
%   thread count.
%
%   Inputs: all eight real, full arrays of class double, scalars included.
%     A        sx-by-sy-by-sz volume of intensities. Sets the size of the
%              outputs and of the block grid; a 2-D array is one slice deep.
%     B        intensities, at least numel(A) elements, read in A's layout.
%              This is the image OUT_B remaps.
%     C        as B: the intensities OUT_B is expressed in.
%     D        as B: the intensities OUT_A is expressed in.
%     range    [min max] in intensities, finite, max > min: the interval the
%              bins cover, for all four images. A value outside it counts in
%              the first or last bin; a NaN sample counts nowhere.
%     bins     scalar, a whole number from 2 to 46340: bins per histogram axis.
%     weights  wx-by-wy-by-wz window weights (unitless). weights(kx,ky,kz)
%              weighs the voxel at that position of the window, whose
%              element floor((w+1)/2) sits on the block centre (odd extents
%              centre exactly).
%     spacing  scalar in voxels, finite, > 0: the block edge. A whole number
%              makes the blocks tile the volume.
%
%   Outputs: class double, the size of A.
%     out_a    A in D's intensities. Every value is min + k*(max-min)/(bins-1)
%              for a bin k from 0 to bins-1; a NaN voxel of A stays NaN.
%     out_b    B in C's intensities, on the same levels.
%
%   Blocks next to the far faces have their centres clamped to the last
%   voxel, so their regions overlap the block before them; a voxel keeps the
%   value of the last block (in z, y, x order) whose region holds it.
%
%   Errors: identifier remap_vol_f64:<condition>, raised before any output
%   is made. The message names the input as above, "bins (input 6)",
%   says what the call passed and how to fix it: "bins (input 6) is
%   int32; pass double(bins)".
%     nrhs          not 8 inputs: "8 inputs are required." (checked first)
%     nlhs          not 2 outputs: "2 outputs are required"
%     badClass      an input is not of class double
%     complex       an input is complex
%     sparse        an input is sparse
%     sizeMismatch  B, C or D holds fewer elements than A
%     badRange      range has fewer than 2 elements, a bound that is not
%                   finite, or max <= min
%     badBins       bins is not a whole number from 2 to 46340
%     badSpacing    spacing is not finite and > 0, or so small that the block
%                   grid has more than 2^31-1 blocks
%     empty         bins or spacing is empty
%     tooLarge      A or weights has more than 2^31-1 elements
%     outOfMemory   no memory for the histograms of the worker threads
%     threadStart   a worker thread could not be started
%     notBuilt      (from this file) the compiled plug-in is not on the path
%
%   Warnings: identifier remap_vol_f64:<condition>; the call is carried out
%   all the same, with the results it gives without the warning. Silence
%   one with warning ('off', 'remap_vol_f64:<condition>').
%     zeroWeights   weights is empty or all zero: nothing is gathered and
%                   every voxel maps to min
%     extraSlices   A, B, C, D or weights holds more than one volume (an
%                   extent beyond the third above 1): only the first volume
%                   of each is used
%     partnerShape  B, C or D has other extents than A although it holds
%                   enough elements: it is read in A's layout, so the
%                   images do not line up (most often a transposed image)
%     outOfRange    more than half of the finite values of A, B, C or D
%                   lie outside range (e.g. integer intensities 0..255
%                   against [0 1]): they all count in the edge bins
%     narrowData    the values of A, B, C or D, each clamped to range,
%                   span more than nothing but less than 1/32 of it (e.g.
%                   images scaled to [0 1] against [0 255]): they fall in
%                   a sliver of the bins and the outputs are nearly
%                   constant; the message gives the least and greatest
%                   value and a range that fits (an image of one value is
%                   left alone)
%
%   Example:
%     [x, y, z] = ndgrid (1:24, 1:24, 1:16);
%     A = (x + y + z) / 64;               % intensities in (0, 1)
%     D = 1 - A .^ 2;                     % the same anatomy in another contrast
%     [out_a, out_b] = remap_vol_f64 (A, D, A, D, [0 1], 32, ones (9, 9, 9), 5);
%     max (abs (out_a(:) - D(:)))         % one bin width, 1/31
%
%   See also remap_vol_f32, remap_plane_f64, jointbins_f64, Contents.
  error ('remap_vol_f64:notBuilt', ...
         'remap_vol_f64 is not built; run "make build" (Octave) or build_mex (MATLAB) and add the folder of the binaries to the path');
  % Generated by scripts/gen_help.sh from matlab/pairs/remap_vol.m.in: edit the template, not this file.
end
