% demo_consistency  Inverse-consistency error of a forward field F against
% the backward field b it was inverted from.
%
%   [e, interior] = demo_consistency (b, F, margin)
%
% e(p) = |F(p + b(p)) + b(p)|, with F interpolated linearly (interp2 or
% interp3) at p + b(p), in voxels. b and F are cells of components, x along
% the first array dimension. interior marks the points at least MARGIN
% from every face of the grid; e is NaN where p + b(p) leaves the grid.
function [e, interior] = demo_consistency (b, F, margin)
  n = numel (b);
  sz = size (b{1});
  idx = cell (1, n);
  for axis = 1:n
    idx{axis} = 1:sz(axis);
  end
  p = cell (1, n);
  [p{:}] = ndgrid (idx{:});
  q = cell (1, n);
  for axis = 1:n
    q{axis} = p{axis} + b{axis};
  end
  sq = zeros (sz);
  for axis = 1:n
    % interp2 and interp3 take the column coordinate (second dimension)
    % first and the row coordinate second.
    if (n == 2)
      f = interp2 (F{axis}, q{2}, q{1}, 'linear');
    else
      f = interp3 (F{axis}, q{2}, q{1}, q{3}, 'linear');
    end
    sq = sq + (f + b{axis}) .^ 2;
  end
  e = sqrt (sq);
  interior = true (sz);
  for axis = 1:n
    interior = interior & p{axis} > margin & p{axis} <= sz(axis) - margin;
  end
end
