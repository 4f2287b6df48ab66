% -*- texinfo -*-
% @deftypefn {} {@var{a} =} inverse_accuracy (@var{b}, @var{F})
% @deftypefnx {} {@var{a} =} inverse_accuracy (@var{b}, @var{F}, @var{margin})
% How well the forward field @var{F} inverts the backward field @var{b}, both
% cell arrays of D components on the same grid (displacements in grid points,
% component k along array axis k). Over the interior points, those at least
% @var{margin} (default 3) points from every face:
%
%   inverse-consistency error  e(p) = |F(p + b(p)) + b(p)|
%   residual of the inverse    r(q) = |F(q) + b(q + F(q))|
%
% with F, b sampled trilinearly and clamped to the edge (a point beyond a face
% takes the value on the face). Returns a struct with fields e_mean, e_p95,
% e_max, r_mean and r_max, in grid points; e_p95 is the sorted e at rank
% ceil (0.95 * count). All arithmetic in double.
% @end deftypefn
function a = inverse_accuracy (b, F, margin)
  if (nargin < 3)
    margin = 3;
  endif
  D = numel (b);
  b = cellfun (@double, b, "UniformOutput", false);
  F = cellfun (@double, F, "UniformOutput", false);
  dims = size (b{1});  dims(end+1:D) = 1;  dims = dims(1:D);
  ranges = arrayfun (@(n) margin:n-1-margin, dims, "UniformOutput", false);
  if (any (cellfun (@isempty, ranges)))
    error ("inverse_accuracy: no point lies %d points from every face of a %s grid",
           margin, mat2str (dims));
  endif
  p = cell (1, D);
  [p{:}] = ndgrid (ranges{:});
  inside = cellfun (@(r) r + 1, ranges, "UniformOutput", false);
  inner = cellfun (@(c) c(inside{:}), b, "UniformOutput", false);
  inner_F = cellfun (@(c) c(inside{:}), F, "UniformOutput", false);

  % e at p: F sampled where b sends p.
  at = cellfun (@(c, d) c(:) + d(:), p, inner, "UniformOutput", false);
  e2 = zeros (numel (p{1}), 1);
  for k = 1:D
    e2 += (sample (F{k}, at) + inner{k}(:)) .^ 2;
  endfor
  % r at q: b sampled where F sends q.
  at = cellfun (@(c, d) c(:) + d(:), p, inner_F, "UniformOutput", false);
  r2 = zeros (numel (p{1}), 1);
  for k = 1:D
    r2 += (inner_F{k}(:) + sample (b{k}, at)) .^ 2;
  endfor
  e = sort (sqrt (e2));
  r = sqrt (r2);
  a = struct ("e_mean", mean (e), "e_p95", e(ceil (0.95 * numel (e))), "e_max", e(end),
              "r_mean", mean (r), "r_max", max (r));
endfunction

% Multilinear interpolation of v (grid points 0..n-1 on each axis) at the
% 0-based coordinates at{1..D}, each clamped into [0, n-1] first.
function s = sample (v, at)
  D = numel (at);
  dims = size (v);  dims(end+1:D) = 1;  dims = dims(1:D);
  stride = cumprod ([1, dims(1:end-1)]);
  base = zeros (numel (at{1}), D);
  t = zeros (numel (at{1}), D);
  for k = 1:D
    x = min (max (at{k}, 0), dims(k) - 1);
    base(:, k) = min (floor (x), max (dims(k) - 2, 0));   % the last cell includes its far face
    t(:, k) = x - base(:, k);
  endfor
  s = zeros (numel (at{1}), 1);
  for corner = 0:2^D-1
    index = ones (numel (at{1}), 1);
    weight = ones (numel (at{1}), 1);
    for k = 1:D
      if (bitget (corner, k))
        index += min (base(:, k) + 1, dims(k) - 1) * stride(k);
        weight .*= t(:, k);
      else
        index += base(:, k) * stride(k);
        weight .*= 1 - t(:, k);
      endif
    endfor
    s += weight .* v(index);
  endfor
endfunction
