function varargout = jointbins_f32 (varargin)
% jointbins_f32  Joint intensity histogram of two images, with linear bin sharing (single).
%
%   [joint, h1, h2] = jointbins_f32 (image1, image2, lower, upper, bins)
%
%   The normalised joint histogram of two images and the histogram of each.
%   Every sample v sits at the position bins*(v - lower)/(upper - lower) on
%   the bin axis and is shared linearly between its two nearest bins, so a
%   pair of samples adds to up to four cells of JOINT with bilinear weights
%   that sum to one. All three outputs are divided by the number of samples.
%   One pass over the samples, on the calling thread. Every stored value is
%   a single and every expression between two stores is evaluated in
%   double, so each addition to a cell is rounded to single.
%
%   Inputs: all five real, full arrays of class single, scalars included.
%     image1   any shape, N elements, intensities. N = numel (image1).
%     image2   intensities, at least N elements: element k pairs with
%              element k of image1 in column-major order; extra elements
%              are ignored.
%     lower    scalar, an intensity: position 0, the centre of the first bin.
%              Samples below it count wholly in the first bin.
%     upper    scalar, an intensity: position BINS, one bin past the last.
%              Samples from lower + (B-1)*(upper-lower)/bins up, upper
%              included, count wholly in the last bin. upper < lower runs
%              the bins downwards (with a warning).
%     bins     scalar, finite, 1 <= bins < 46341. There are B = fix (bins)
%              bins per axis; the scale uses bins itself, so 4.9 gives 4
%              bins of width (upper - lower)/4.9.
%
%   Outputs: class single.
%     joint    B-by-B. joint(i,j) is the share of the samples with image1 in
%              bin i and image2 in bin j; bin i is centred on the intensity
%              lower + (i-1)*(upper-lower)/bins. Rows run over image1.
%     h1       B-by-1 histogram of image1 (sum (joint, 2), up to rounding).
%     h2       B-by-1 histogram of image2 (sum (joint, 1)', up to rounding).
%
%   On finite data each output sums to 1. A NaN sample in either image adds
%   nothing but still counts in N. An infinite sample, or one too large for
%   the bin above it to be told apart, goes wholly to the edge bin. An empty
%   image1 gives NaN (0/0) everywhere (with a warning).
%
%   Errors: identifier jointbins_f32:<condition>, raised before any output
%   is made. The message names the input as above, "bins (input 5)",
%   says what the call passed and how to fix it: "bins (input 5) is
%   double; pass single(32): every input, scalars included, must be single".
%     nrhs          not 5 inputs: "five inputs are required." (checked first)
%     nlhs          not 3 outputs: "Three outputs are required"
%     badClass      an input is not of class single
%     complex       an input is complex
%     sparse        an input is sparse
%     sizeMismatch  image2 holds fewer elements than image1
%     empty         lower, upper or bins is empty
%     badBins       bins is below 1, not finite, or 46341 and more (B*B
%                   cells must fit in 32-bit indices)
%     tooLarge      image1 has more than 2^31-1 elements
%     outOfMemory   the outputs for this many bins need more memory than
%                   is available
%     notBuilt      (from this file) the compiled plug-in is not on the path
%
%   Warnings: identifier jointbins_f32:<condition>; the call is carried out
%   all the same, with the results it gives without the warning. Silence
%   one with warning ('off', 'jointbins_f32:<condition>').
%     nonFiniteBounds  lower or upper is NaN or infinite: every sample
%                      adds nothing, or all land in one bin
%     equalBounds   lower equals upper: every sample lands in an edge bin
%                   or adds nothing
%     reversedBounds  upper < lower: the bins run downwards and the
%                     histograms come out mirrored
%     noSamples     image1 is empty: every output is NaN (0/0)
%     partnerShape  image2 has other extents than image1 although it holds
%                   enough elements: it is read in image1's layout, so
%                   the images do not line up (most often a transposed one)
%     outOfBounds   more than half of the finite values of image1 or image2
%                   lie outside [lower, upper] (e.g. integer intensities
%                   0..255 against [0, 1]): they count in the edge bins
%     narrowData    the values of image1 or image2, each clamped to
%                   [lower, upper], span more than nothing but less than
%                   1/32 of it (e.g. images scaled to [0 1] with upper =
%                   255): nearly every sample lands in one cell; the
%                   message gives the least and greatest value, bounds
%                   that fit
%     manyBins      more than 1024 bins and more than 100 cells (bins^2)
%                   per sample: nearly every cell stays empty while the
%                   outputs take gigabytes; the message gives at most
%                   sqrt(N) bins
%
%   Example:
%     image1 = single ([1 6.5]);  image2 = single ([3 8]);
%     [joint, h1, h2] = jointbins_f32 (image1, image2, single (0), ...
%                                      single (8), single (4));
%     h1'                                 % 0.25 0.25 0 0.5
%     h2'                                 % 0 0.25 0.25 0.5
%     sum (joint(:))                      % 1
%
%   See also jointbins_f64, remap_vol_f32, remap_plane_f64, Contents.
  error ('jointbins_f32:notBuilt', ...
         'jointbins_f32 is not built; run "make build" (Octave) or build_mex (MATLAB) and add the folder of the binaries to the path');
  % Generated by scripts/gen_help.sh from matlab/pairs/jointbins.m.in: edit the template, not this file.
end
