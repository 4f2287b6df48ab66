function acc = inverse_accuracy (b, F, margin)
% inverse_accuracy  How well a forward field F inverts a backward field b.
%
%   acc = inverse_accuracy (b, F)
%   acc = inverse_accuracy (b, F, margin)
%
%   b and F are cells of components, {bx, by, bz} or {bx, by}, in voxels
%   along the array axes (as the dispinvert plug-ins and invert_field take
%   them). Over the interior points, at least `margin` voxels (default 3)
%   from every face, it measures
%
%     e(p) = |F(p + b(p)) + b(p)|   inverse consistency, F sampled at p + b(p)
%     r(q) = |F(q) + b(q + F(q))|   residual of the defining equation, b
%                                   sampled at q + F(q)
%
%   (Euclidean, in voxels). Sampling is (bi/tri)linear with every coordinate
%   clamped to the grid, as the refinement plug-ins sample b. Each measure is
%   computed in double, whatever the class of the fields.
%
%   acc has the fields e_mean, e_p95, e_max, r_mean, r_p95, r_max and
%   points (the number of interior points). The 95th percentile is the
%   ceil(0.95 * n)-th smallest of the n values.
%
%   Example:
%     b = {0.5 * ones(8, 8, 8), zeros(8, 8, 8), zeros(8, 8, 8)};
%     F = {-0.5 * ones(8, 8, 8), zeros(8, 8, 8), zeros(8, 8, 8)};
%     acc = inverse_accuracy (b, F);   % every measure 0
  if (nargin < 3)
    margin = 3;
  end
  D = numel (b);
  dims = ones (1, 3);
  dims(1:ndims (b{1})) = size (b{1});
  dims = dims(1:D);
  b = cellfun (@double, b, 'UniformOutput', false);
  F = cellfun (@double, F, 'UniformOutput', false);

  % Interior points as grid coordinates counted from 0.
  ranges = arrayfun (@(n) margin:n-1-margin, dims, 'UniformOutput', false);
  grids = cell (1, D);
  [grids{:}] = ndgrid (ranges{:});
  index = sub2ind_all (dims, grids);
  acc.points = numel (index);
  if (acc.points == 0)
    error ('inverse_accuracy:noInterior', ...
           'the grid has no point %d voxels from every face; pass a smaller margin', margin);
  end

  % e: F at p + b(p).
  at = cellfun (@(g, c) g(:) + c(index), grids, b, 'UniformOutput', false);
  sq = zeros (acc.points, 1);
  for a = 1:D
    sq += (sample (F{a}, at, dims) + b{a}(index)) .^ 2;
  end
  e = sqrt (sq);
  % r: b at q + F(q).
  at = cellfun (@(g, c) g(:) + c(index), grids, F, 'UniformOutput', false);
  sq = zeros (acc.points, 1);
  for a = 1:D
    sq += (F{a}(index) + sample (b{a}, at, dims)) .^ 2;
  end
  r = sqrt (sq);

  [acc.e_mean, acc.e_p95, acc.e_max] = summary (e);
  [acc.r_mean, acc.r_p95, acc.r_max] = summary (r);
end

function index = sub2ind_all (dims, grids)
  index = grids{1}(:) + 1;
  stride = 1;
  for a = 2:numel (dims)
    stride *= dims(a-1);
    index += grids{a}(:) * stride;
  end
end

% Linear interpolation of v at the given 0-based coordinates, each clamped
% to [0, extent - 1].
function s = sample (v, at, dims)
  D = numel (dims);
  lower = cell (1, D);  t = cell (1, D);  upper = cell (1, D);
  for a = 1:D
    x = min (max (at{a}, 0), dims(a) - 1);
    lower{a} = floor (x);
    t{a} = x - lower{a};
    upper{a} = min (lower{a} + 1, dims(a) - 1);
  end
  s = zeros (size (at{1}));
  for c = 0:2^D-1
    w = ones (size (at{1}));
    index = ones (size (at{1}));
    stride = 1;
    for a = 1:D
      if (bitand (c, 2^(a-1)))
        w .*= t{a};  i = upper{a};
      else
        w .*= 1 - t{a};  i = lower{a};
      end
      index += i * stride;
      stride *= dims(a);
    end
    s += w .* v(index);
  end
end

function [m, p95, mx] = summary (v)
  v = sort (v);
  m = mean (v);
  p95 = v(ceil (0.95 * numel (v)));
  mx = v(end);
end
