% octave_bench.m MEXDIR LITERALDIR OUTDIR [quick|full [NAME]]
%
% Times each plug-in (the Octave MEX files in MEXDIR) from octave-cli, the
% way a user calls it: tic/toc round the call, after one warm-up call, at 1
% and at 2 threads (set through maxNumCompThreads), against
%   - the literal model of the same computation (tests/cpp/reference,
%     built as literal_<plug-in> MEX files in LITERALDIR): written as the
%     first description reads, one thread except the remapping, which
%     splits its block layers over maxNumCompThreads threads as well;
%   - the strongest vectorised Octave version we know of, where one exists:
%     for the field inversion every sample is splatted once onto its 2^D
%     corners (accumarray on a grid extended by the kernel's reach) and the
%     summed values and weights are convolved with the kernel (convn,
%     'valid') and divided; for the joint histogram one accumarray for the
%     joint and one per marginal. Single-precision plug-ins are compared
%     with the same Octave code on single data.
% Each run times, in turn, the plug-in at 1 thread, the literal model at 1
% thread, the vectorised version, the plug-in at 2 threads and (remapping)
% the literal model at 2 threads, so that load on the machine falls on all
% of them alike; the tables give the medians of the runs. The plug-in must
% give the literal model's bits exactly and agree with the vectorised
% version to a tolerance (they add in other orders). Writes
% OUTDIR/octave.md. "quick" halves every edge of every workload; a fifth
% argument times only the plug-ins whose names contain it.
1;

% Sum of smooth random blobs scaled into [0, 1], plus mild noise. Each blob
% is separable, so it is built from axis profiles by broadcasting.
function image = blob_image (dims)
  dims(end+1:3) = 1;
  image = zeros (dims);
  for k = 1:8
    c = rand (1, 3) .* dims;
    r = (0.1 + 0.25 * rand ()) * max (dims);
    g = @(n, centre, shape) reshape (exp (-((0:n-1) - centre) .^ 2 / (2 * r ^ 2)), shape);
    image += (0.3 + rand ()) * (g (dims(1), c(1), [dims(1) 1 1]) .* g (dims(2), c(2), [1 dims(2) 1]) ...
                                .* g (dims(3), c(3), [1 1 dims(3)]));
  endfor
  image = (image - min (image(:))) / (max (image(:)) - min (image(:)));
  image = min (max (image + 0.02 * randn (size (image)), 0), 1);
endfunction

% A Gaussian of `extent` points per axis on D axes, sigma = extent / s.
function h = gaussian (extent, D, s)
  e = (0:extent-1) - (extent - 1) / 2;
  h = exp (-e' .^ 2 / (2 * (extent / s) ^ 2));
  h = h .* reshape (h, 1, []);
  if (D == 3)
    h = h .* reshape (exp (-e .^ 2 / (2 * (extent / s) ^ 2)), 1, 1, []);
  endif
endfunction

% Field inversion, vectorised: each sample carries -b to q = p + b and
% shares it among the 2^D grid points round q by linear weights; values and
% weights are summed once per grid point with accumarray on a grid extended
% by the kernel's reach, then convolved with the kernel and divided. All
% arithmetic in the class of the field.
function varargout = invert_vectorised (b, h)
  D = numel (b);
  cls = class (b{1});
  dims = size (b{1});  dims(end+1:D) = 1;  dims = dims(1:D);
  kdims = size (h);  kdims(end+1:D) = 1;  kdims = kdims(1:D);
  half = floor (kdims / 2);
  lo = kdims - 1 - half;             % the extended grid starts lo points before 0
  ext = dims + kdims - 1;
  stride = cumprod ([1, ext(1:end-1)]);
  n = prod (dims);
  grid = cell (1, D);
  [grid{:}] = ndgrid (arrayfun (@(s) cast (0:s-1, cls), dims, "UniformOutput", false){:});
  index = zeros (n, 2^D);
  weight = ones (n, 2^D, cls);
  inside = true (n, 2^D);
  for a = 1:D
    q = grid{a}(:) + b{a}(:);
    base = floor (q);
    t = q - base;
    bit = bitget (0:2^D-1, D - a + 1);     % corner c's offset along axis a
    corner = double (base) + bit + lo(a);  % 0-based on the extended grid
    inside &= corner >= 0 & corner < ext(a);
    index += corner * stride(a);
    weight .*= (1 - t) .* (1 - bit) + t .* bit;
  endfor
  index = index(inside) + 1;
  weight = weight(inside);
  denominator = convn (reshape (accumarray (index, weight, [prod(ext) 1]), [ext 1]), h, "valid");
  denominator += cast (1e-8, cls);
  varargout = cell (1, D);
  for a = 1:D
    carried = -repmat (b{a}(:), 1, 2^D);
    splat = accumarray (index, carried(inside) .* weight, [prod(ext) 1]);
    varargout{a} = convn (reshape (splat, [ext 1]), h, "valid") ./ denominator;
  endfor
endfunction

% Joint histogram, vectorised: every sample shared linearly between its two
% nearest bins on each axis and clamped into the edge bins; one accumarray
% for the joint histogram, one per single-image histogram.
function [joint, h1, h2] = jointbins_vectorised (a, b, lower, upper, bin_value)
  nb = fix (double (bin_value));
  n = numel (a);
  s = bin_value / (upper - lower);
  px = s * (a(:) - lower);
  py = s * (b(1:n)(:) - lower);
  x0 = floor (px);  y0 = floor (py);
  gx1 = px - x0;  gx0 = 1 - gx1;
  gy1 = py - y0;  gy0 = 1 - gy1;
  i0 = min (max (double (x0), 0), nb - 1) + 1;  i1 = min (max (double (x0) + 1, 0), nb - 1) + 1;
  j0 = min (max (double (y0), 0), nb - 1) + 1;  j1 = min (max (double (y0) + 1, 0), nb - 1) + 1;
  row0 = nb * (j0 - 1);  row1 = nb * (j1 - 1);
  joint = accumarray ([i0 + row0; i1 + row0; i0 + row1; i1 + row1], ...
                      [gx0 .* gy0; gx1 .* gy0; gx0 .* gy1; gx1 .* gy1], [nb * nb 1]);
  joint = reshape (joint, nb, nb) / n;
  h1 = accumarray ([i0; i1], [gx0; gx1], [nb 1]) / n;
  h2 = accumarray ([j0; j1], [gy0; gy1], [nb 1]) / n;
endfunction

% Calls fn with the inputs and returns its `count` outputs and the seconds
% the call took.
function [out, seconds] = timed (fn, inputs, count)
  out = cell (1, count);
  start = tic ();
  [out{:}] = fn (inputs{:});
  seconds = toc (start);
endfunction

function same = same_bits (a, b)
  same = numel (a) == numel (b);
  for k = 1:numel (a)
    same = same && strcmp (class (a{k}), class (b{k})) && isequaln (a{k}, b{k});
  endfor
endfunction

% Largest difference relative to the largest value of the comparison.
function d = relative_difference (a, b)
  d = 0;
  for k = 1:numel (a)
    scale = max (abs (double (b{k}(:))));
    d = max (d, max (abs (double (a{k}(:)) - double (b{k}(:)))) / max (scale, realmin));
  endfor
endfunction

function s = ms (seconds)
  if (isnan (seconds))
    s = "-";
  else
    s = sprintf ("%.1f", seconds * 1e3);
  endif
endfunction

function s = ratio (numerator, denominator)
  if (isnan (numerator) || isnan (denominator))
    s = "-";
  else
    s = sprintf ("%.2fx", numerator / denominator);
  endif
endfunction

args = argv ();
if (numel (args) < 3)
  error ("usage: octave_bench.m MEXDIR LITERALDIR OUTDIR [quick|full [NAME]]");
endif
addpath (args{1});
addpath (args{2});
out_dir = args{3};
scale = 1 + (numel (args) > 3 && strcmp (args{4}, "quick"));
runs = 5;
only = "";
if (numel (args) > 4)
  only = args{5};
endif
% Octave's maxNumCompThreads keeps the count it is given for the plug-ins to
% read, and warns that it has no effect on Octave's own functions.
warning ("off", "Octave:maxNumCompThreads:no-effect");
threads_before = maxNumCompThreads ();
rand ("twister", 5);
randn ("twister", 6);

% plug-in, workload text, inputs, output count, vectorised version (or []),
% tolerance against it.
cases = {};
for cls = {"double", "single"}
  dims = [160 160 96] / scale;
  a = blob_image (dims);  b = blob_image (dims);
  in = {a, b, 0.5 + 0.5 * sin(3 * b), a .^ 2, [0 1], 32, gaussian(13, 3, 4), 6};
  in = cellfun (@(x) cast (x, cls{1}), in, "UniformOutput", false);
  plugin = merge (strcmp (cls{1}, "double"), "remap_vol_f64", "remap_vol_f32");
  workload = sprintf ("%dx%dx%d, spacing 6, window 13^3, 32 bins", dims);
  cases(end+1, :) = {plugin, workload, in, 2, [], 0};
endfor
dims = [1024 1024] / scale;
a = blob_image (dims);  b = blob_image (dims);
in = {a, b, 0.5 + 0.5 * sin(3 * b), a .^ 2, [0 1], 64, gaussian(25, 2, 4), 8};
workload = sprintf ("%dx%d, spacing 8, window 25^2, 64 bins", dims);
cases(end+1, :) = {"remap_plane_f64", workload, in, 2, [], 0};
for cls = {"double", "single"}
  dims = [128 128 96] / scale;
  in = {bump_field(dims, 4), bump_field(dims, 4), bump_field(dims, 4), gaussian(3, 3, 3)};
  in = cellfun (@(x) cast (x, cls{1}), in, "UniformOutput", false);
  plugin = merge (strcmp (cls{1}, "double"), "dispinvert_vol_f64", "dispinvert_vol_f32");
  tolerance = merge (strcmp (cls{1}, "double"), 1e-9, 1e-4);
  vectorised = @(x, y, z, h) invert_vectorised ({x, y, z}, h);
  cases(end+1, :) = {plugin, sprintf("%dx%dx%d, kernel 3^3", dims), in, 3, vectorised, tolerance};
endfor
dims = [1024 1024] / scale;
in = {bump_field(dims, 4), bump_field(dims, 4), gaussian(5, 2, 3)};
vectorised = @(x, y, h) invert_vectorised ({x, y}, h);
cases(end+1, :) = {"dispinvert_plane_f64", sprintf("%dx%d, kernel 5^2", dims), in, 2, vectorised, 1e-9};
dims = [256 256 160] / scale;
a = blob_image (dims);
b = min (max (0.5 + 0.45 * sin (4 * a) + 0.03 * randn (size (a)), 0), 1);
for cls = {"double", "single"}
  plugin = merge (strcmp (cls{1}, "double"), "jointbins_f64", "jointbins_f32");
  in = cellfun (@(x) cast (x, cls{1}), {a, b, 0, 1, 64}, "UniformOutput", false);
  tolerance = merge (strcmp (cls{1}, "double"), 1e-12, 1e-4);
  cases(end+1, :) = {plugin, sprintf("%dx%dx%d, 64 bins", dims), in, 3, @jointbins_vectorised, tolerance};
endfor
clear a b c d field in;

compare_rows = {};
scaling_rows = {};
failed = false;
for k = 1:rows (cases)
  [plugin, workload, in, count, vectorised, tolerance] = cases{k, :};
  if (! isempty (only) && isempty (strfind (plugin, only)))
    continue;
  endif
  fn = str2func (plugin);
  literal = str2func (["literal_" plugin]);
  threaded_literal = strncmp (plugin, "remap", 5);
  t = nan (runs, 5);  % plug-in 1, literal 1, vectorised, plug-in 2, literal 2
  identical = true;
  difference = NaN;
  % Warm-up: one call of each, which also gives the outputs checked.
  maxNumCompThreads (1);
  mex_out = timed (fn, in, count);
  identical = same_bits (mex_out, timed (literal, in, count));
  if (! isempty (vectorised))
    difference = relative_difference (mex_out, timed (vectorised, in, count));
  endif
  maxNumCompThreads (2);
  identical = identical && same_bits (mex_out, timed (fn, in, count));
  if (threaded_literal)
    identical = identical && same_bits (mex_out, timed (literal, in, count));
  endif
  for r = 1:runs
    maxNumCompThreads (1);
    [~, t(r, 1)] = timed (fn, in, count);
    [~, t(r, 2)] = timed (literal, in, count);
    if (! isempty (vectorised))
      [~, t(r, 3)] = timed (vectorised, in, count);
    endif
    maxNumCompThreads (2);
    [~, t(r, 4)] = timed (fn, in, count);
    if (threaded_literal)
      [~, t(r, 5)] = timed (literal, in, count);
    endif
  endfor
  m = median (t, 1);
  agrees = isnan (difference) || difference <= tolerance;
  failed = failed || ! identical || ! agrees;
  if (isnan (difference))
    check = merge (identical, "identical", "NOT IDENTICAL");
  else
    check = sprintf ("%s; %.1e%s", merge (identical, "identical", "NOT IDENTICAL"), difference,
                     merge (agrees, "", " TOO LARGE"));
  endif
  % The 2-thread row compares with the literal model at 2 threads where it
  % has threads (remapping), otherwise with its one thread.
  literal_two = merge (threaded_literal, m(5), m(2));
  compare_rows{end+1} = sprintf ("| %s | %s | 1 | %s | %s | %s | %s | %s | %s |", plugin, workload,
                                 ms (m(1)), ms (m(2)), ratio (m(2), m(1)), ms (m(3)),
                                 ratio (m(3), m(1)), check);
  compare_rows{end+1} = sprintf ("| %s | %s | 2 | %s | %s | %s | %s | %s | |", plugin, workload,
                                 ms (m(4)), ms (literal_two), ratio (literal_two, m(4)), ms (m(3)),
                                 ratio (m(3), m(4)));
  scaling_rows{end+1} = sprintf ("| %s | %s | %s | %s | %s | %s |", plugin, ms (m(1)), ms (m(4)),
                                 ratio (m(1), m(4)), ratio (m(2), m(4)),
                                 merge (threaded_literal, ratio (m(2), m(5)), "- (1 thread)"));
  printf ("%s\n%s\n", compare_rows{end-1:end});
  fflush (stdout);
endfor
maxNumCompThreads (threads_before);

text = {"## Plug-ins called from Octave", "", ...
        sprintf("octave-cli %s, tic/toc round each call, medians of %d runs after a warm-up call; MALLOC_MMAP_THRESHOLD_=%s, MALLOC_TRIM_THRESHOLD_=%s.", ...
                version (), runs, getenv ("MALLOC_MMAP_THRESHOLD_"), getenv ("MALLOC_TRIM_THRESHOLD_")), ...
        "Literal: the literal model as a MEX file (remapping at the row's thread count, the others on one thread).", ...
        "Vectorised: splat once + convn (field inversion), one accumarray per histogram (joint histogram), in the plug-in's precision.", ...
        "Checks: identical bits to the literal model; largest difference to the vectorised version relative to its largest value.", "", ...
        "| plug-in | workload | threads | plug-in (ms) | literal (ms) | literal / plug-in | vectorised Octave (ms) | vectorised / plug-in | checks |", ...
        "|---|---|---|---|---|---|---|---|---|", compare_rows{:}, "", ...
        "## Plug-ins called from Octave: 2 threads against 1", "", ...
        "| plug-in | 1 thread (ms) | 2 threads (ms) | 2 vs 1 | literal at 1 thread / plug-in at 2 | literal 2 vs 1 |", ...
        "|---|---|---|---|---|---|", scaling_rows{:}};
fid = fopen (fullfile (out_dir, "octave.md"), "w");
fprintf (fid, "%s\n", text{:});
fclose (fid);
exit (failed);
