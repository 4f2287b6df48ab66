% f = bump_field (dims, amplitude): a smooth displacement component for the
% benches, six Gaussian bumps of amplitude up to `amplitude` grid points
% either way, clipped to it. Draws from rand, so the caller's seed decides it.
function f = bump_field (dims, amplitude)
  dims(end+1:3) = 1;
  f = zeros (dims);
  for k = 1:6
    c = rand (1, 3) .* dims;
    r = (0.1 + 0.2 * rand ()) * max (dims);
    a = amplitude * (2 * rand () - 1);
    g = @(n, centre, shape) reshape (exp (-((0:n-1) - centre) .^ 2 / (2 * r ^ 2)), shape);
    bump = g (dims(1), c(1), [dims(1) 1 1]) .* g (dims(2), c(2), [1 dims(2) 1]);
    if (dims(3) > 1)
      bump = bump .* g (dims(3), c(3), [1 1 dims(3)]);
    endif
    f += a * bump;
  endfor
  f = max (min (f, amplitude), -amplitude);
endfunction
