% demo_phantom  Synthetic head-like phantom: tissue intensities in [0, 1].
%
%   v = demo_phantom (sz)
%
% sz is [sx sy] or [sx sy sz]. An outer shell, a brain with a smooth
% intensity drift, two ventricles and two small lesions, all under a slow
% multiplicative bias, so that every tissue spreads over a range of
% intensities; a 2-D phantom is the central slice of the 3-D one.
function v = demo_phantom (sz)
  u = cell (1, 3);
  for axis = 1:3
    if (axis <= numel (sz))
      u{axis} = linspace (-1, 1, sz(axis));
    else
      u{axis} = 0;
    end
  end
  [x, y, z] = ndgrid (u{:});
  inside = @(c, r) ((x - c(1)) / r(1)) .^ 2 + ((y - c(2)) / r(2)) .^ 2 + ((z - c(3)) / r(3)) .^ 2 <= 1;
  v = 0.03 * ones (size (x));
  v(inside ([0 0 0], [0.88 0.78 0.85])) = 0.32;
  brain = inside ([0 0 0], [0.76 0.66 0.73]);
  drift = 0.55 + 0.08 * sin (3 * x + 1) .* cos (2.5 * y) + 0.04 * z;
  v(brain) = drift(brain);
  v(inside ([-0.17 0.05 0], [0.09 0.3 0.35]) | inside ([0.17 0.05 0], [0.09 0.3 0.35])) = 0.92;
  v(inside ([0.38 -0.3 0], [0.1 0.1 0.1])) = 0.76;
  v(inside ([-0.4 0.32 0], [0.08 0.08 0.08])) = 0.2;
  bias = 1 + 0.12 * sin (1.7 * x - 0.4) + 0.08 * cos (1.3 * y + 0.2 * z);
  v = min (v .* bias, 1);
  v = squeeze (v);
end
