% octave_dispinvert.m MEXDIR OUTDIR [quick]
%
% Times the field-inversion plug-ins (the Octave MEX files in MEXDIR)
% against what a user would write instead in Octave: the same splatting,
% vectorised over all samples and corners with accumarray, one pass per
% kernel element. Checks that both agree to a tolerance (they add in
% different orders) and writes OUTDIR/dispinvert_octave.md: medians of 3
% runs, of 1 for an Octave version slower than 10 s. "quick" halves every
% workload.
1;

% A smooth displacement component: a sum of six Gaussian bumps of
% amplitude up to `amplitude` grid points, clipped to it.
function f = bump_field (dims, amplitude, seed)
  rand ("state", seed);
  dims(end+1:3) = 1;
  [x, y, z] = ndgrid (0:dims(1)-1, 0:dims(2)-1, 0:dims(3)-1);
  f = zeros (dims);
  for k = 1:6
    centre = rand (1, 3) .* dims;
    r = (0.1 + 0.2 * rand ()) * max (dims);
    a = amplitude * (2 * rand () - 1);
    d2 = (x - centre(1)).^2 + (y - centre(2)).^2;
    if (dims(3) > 1)
      d2 += (z - centre(3)).^2;
    endif
    f += a * exp (-d2 / (2 * r^2));
  endfor
  f = max (min (f, amplitude), -amplitude);
endfunction

% A Gaussian kernel of the given extent on each of `dims` axes.
function h = gaussian_kernel (extent, dims)
  c = (extent - 1) / 2;  sigma = extent / 3;
  e = (0:extent-1) - c;
  if (dims == 2)
    [i, j] = ndgrid (e, e);  r2 = i.^2 + j.^2;
  else
    [i, j, k] = ndgrid (e, e, e);  r2 = i.^2 + j.^2 + k.^2;
  endif
  h = exp (-r2 / (2 * sigma^2));
endfunction

% Forward splatting written the way an Octave user would: every sample
% carries -b to q = p + b, shares it among the 2^D grid points around q
% by (bi/tri)linear weights and spreads each share with the kernel; values
% and weights are summed with accumarray and divided at the end. b holds
% one component per cell; f the forward components.
function f = splat_field (b, h)
  dims = size (b{1});
  D = numel (b);
  dims(end+1:D) = 1;  dims = dims(1:D);
  kdims = size (h);  kdims(end+1:D) = 1;  kdims = kdims(1:D);
  half = floor (kdims / 2);
  n = prod (dims);
  grid = cell (1, D);
  [grid{:}] = ndgrid (arrayfun (@(s) 0:s-1, dims, "UniformOutput", false){:});
  q = zeros (n, D);  u = zeros (n, D, class (b{1}));
  for a = 1:D
    q(:, a) = grid{a}(:) + double (b{a}(:));
    u(:, a) = -b{a}(:);
  endfor
  keep = all (isfinite (q), 2);
  q = q(keep, :);  u = u(keep, :);
  base = floor (q);  t = q - base;
  % Corner c (0-based): offsets are its bits, the first axis the highest.
  corners = 2^D;
  offset = zeros (corners, D);
  weight = ones (rows (q), corners);
  for c = 0:corners-1
    offset(c+1, :) = bitget (c, D:-1:1);
    for a = 1:D
      if (offset(c+1, a))
        weight(:, c+1) .*= t(:, a);
      else
        weight(:, c+1) .*= 1 - t(:, a);
      endif
    endfor
  endfor
  weight = cast (weight, class (u));
  % Per sample and corner: the corner's grid coordinates and element index;
  % each kernel element then only moves them by a fixed offset.
  stride = cumprod ([1, dims(1:end-1)]);
  coordinate = cell (1, D);
  target = zeros (rows (q), corners);
  for a = 1:D
    coordinate{a} = base(:, a) + offset(:, a).';
    target += coordinate{a} * stride(a);
  endfor
  carried = cell (1, D);
  for a = 1:D
    carried{a} = repmat (u(:, a), 1, corners);
  endfor
  sums = zeros (n, D + 1, class (u));
  element = cell (1, D);
  for e = 1:numel (h)
    [element{:}] = ind2sub (kdims, e);
    shift = cell2mat (element) - 1 - half;
    inside = coordinate{1} >= -shift(1) & coordinate{1} < dims(1) - shift(1);
    for a = 2:D
      inside &= coordinate{a} >= -shift(a) & coordinate{a} < dims(a) - shift(a);
    endfor
    index = target(inside) + (shift * stride.' + 1);
    w = weight(inside) * h(e);
    for a = 1:D
      sums(:, a) += accumarray (index, carried{a}(inside) .* w, [n 1]);
    endfor
    sums(:, D+1) += accumarray (index, w, [n 1]);
  endfor
  epsilon = double (cast (1e-8, class (u)));
  f = cell (1, D);
  for a = 1:D
    f{a} = reshape (cast (double (sums(:, a)) ./ (double (sums(:, D+1)) + epsilon), class (u)), size (b{1}));
  endfor
endfunction

function f = call_plugin (plugin, b, h)
  f = cell (1, numel (b));
  [f{:}] = feval (plugin, b{:}, h);
endfunction

% Median wall times of the plug-in and of the Octave version, run in turn
% so that load on the machine hits both alike, and their last results. An
% Octave version that takes more than 10 s is timed once.
function [plugin_s, octave_s, octave_runs, mex_out, octave_out] = time_both (runs, plugin, b, h)
  plugin_times = [];
  octave_times = [];
  for r = 1:runs
    start = tic ();
    mex_out = call_plugin (plugin, b, h);
    plugin_times(end+1) = toc (start);
    if (r == 1 || octave_times(1) <= 10)
      start = tic ();
      octave_out = splat_field (b, h);
      octave_times(end+1) = toc (start);
    endif
  endfor
  plugin_s = median (plugin_times);
  octave_s = median (octave_times);
  octave_runs = numel (octave_times);
endfunction

% Largest difference relative to the largest forward value.
function d = relative_difference (a, b)
  d = 0;
  for k = 1:numel (a)
    scale = max (abs (double (b{k}(:))));
    d = max (d, max (abs (double (a{k}(:)) - double (b{k}(:)))) / max (scale, realmin));
  endfor
endfunction

args = argv ();
addpath (args{1});
out = args{2};
runs = 3;
rows_md = {};
failed = false;
full = 1 + (numel (args) > 2 && strcmp (args{3}, "quick"));
for scale = [full, 2 * full]
  workloads = {"dispinvert_vol_f64", [128 128 96] / scale, 3, "double", 1e-9; ...
               "dispinvert_vol_f32", [128 128 96] / scale, 3, "single", 1e-4; ...
               "dispinvert_plane_f64", [1024 1024] / scale, 5, "double", 1e-9};
  for w = 1:rows (workloads)
    [plugin, dims, extent, cls, tolerance] = workloads{w, :};
    D = numel (dims);
    b = cell (1, D);
    for a = 1:D
      b{a} = cast (bump_field (dims, 4, 10 + a), cls);
    endfor
    h = cast (gaussian_kernel (extent, D), cls);
    [plugin_s, octave_s, octave_runs, mex_out, octave_out] = time_both (runs, plugin, b, h);
    difference = relative_difference (octave_out, mex_out);
    agrees = difference <= tolerance;
    failed = failed || !agrees;
    workload = sprintf ("%s, kernel %s", strjoin (arrayfun (@num2str, dims, "UniformOutput", false), "x"),
                        strjoin (repmat ({num2str(extent)}, 1, D), "x"));
    shares = prod (dims) * extent^D * 2^D;
    rows_md{end+1} = sprintf ("| %s | %s | %.1f | %.1f (%d) | %.2fx | %.3g shares/s | %.1e | %s |",
                              plugin, workload, plugin_s * 1e3, octave_s * 1e3, octave_runs,
                              octave_s / plugin_s, shares / plugin_s, difference,
                              merge (agrees, "yes", "NO"));
    printf ("%s\n", rows_md{end});
    fflush (stdout);
  endfor
endfor

header = {"## Displacement-field inversion against vectorised Octave (accumarray)", "", ...
          "| plug-in | workload | plug-in (ms) | Octave (ms) (runs) | speed-up | plug-in throughput | max relative difference | agrees |", ...
          "|---|---|---|---|---|---|---|---|"};
fid = fopen (fullfile (out, "dispinvert_octave.md"), "w");
fprintf (fid, "%s\n", header{:}, rows_md{:});
fclose (fid);
exit (failed);
