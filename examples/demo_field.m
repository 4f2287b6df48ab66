% demo_field  A smooth, invertible backward displacement field.
%
%   b = demo_field (sz, amplitude)
%
% sz is [sx sy] or [sx sy sz]; b is a cell of one component per axis, in
% voxels (pixels), the largest about AMPLITUDE. Each component is a slow
% wave across the grid, so the map p -> p + b(p) stays one-to-one for
% amplitudes up to about a tenth of the grid.
function b = demo_field (sz, amplitude)
  n = numel (sz);
  c = cell (1, n);
  for axis = 1:n
    c{axis} = 2 * pi * (0:sz(axis) - 1) / sz(axis);
  end
  g = cell (1, n);
  [g{:}] = ndgrid (c{:});
  b = cell (1, n);
  if (n == 2)
    [x, y] = g{:};
    b{1} = amplitude * (0.8 * sin (y + 0.5) + 0.3 * sin (x));
    b{2} = amplitude * (0.7 * cos (x - 0.3) - 0.3 * sin (y + 1));
  else
    [x, y, z] = g{:};
    b{1} = amplitude * (0.7 * sin (y + 0.5) .* cos (z / 2) + 0.3 * sin (x));
    b{2} = amplitude * (0.6 * cos (x - 0.3) .* sin (z + 1) - 0.3 * sin (y + 1));
    b{3} = amplitude * (0.6 * sin (x + 1) .* cos (y) + 0.25 * cos (z));
  end
end
