% octave_jointbins.m MEX_DIR OUT_DIR: times jointbins_f64 and jointbins_f32
% against the vectorised Octave code a user would write instead (accumarray),
% on the standard image pair and at half size, checks that both agree, and
% writes OUT_DIR/jointbins_octave.md.
1;

% Sum of smooth random blobs scaled into [0, 1], plus mild noise. Each blob
% is separable, so it is built from three axis profiles by broadcasting.
function image = blob_image (sx, sy, sz)
  image = zeros (sx, sy, sz);
  for k = 1:8
    c = rand (1, 3) .* [sx sy sz];
    r = (0.1 + 0.25 * rand ()) * max ([sx sy sz]);
    amplitude = 0.3 + rand ();
    gx = exp (-((0:sx-1)' - c(1)) .^ 2 / (2 * r ^ 2));
    gy = exp (-((0:sy-1) - c(2)) .^ 2 / (2 * r ^ 2));
    gz = exp (-(reshape (0:sz-1, 1, 1, sz) - c(3)) .^ 2 / (2 * r ^ 2));
    image += amplitude * (gx .* gy .* gz);
  end
  image = (image - min (image(:))) / (max (image(:)) - min (image(:)));
  image = min (max (image + 0.02 * randn (size (image)), 0), 1);
end

% The joint histogram and both single-image histograms, every sample shared
% linearly between its two nearest bins and clamped into the edge bins.
function [joint, h1, h2] = jointbins_vectorised (a, b, lower, upper, bin_value)
  nb = fix (bin_value);
  n = numel (a);
  s = bin_value / (upper - lower);
  px = s * (a(:) - lower);
  py = s * (reshape (b(1:n), [], 1) - lower);
  x0 = floor (px);
  y0 = floor (py);
  gx0 = x0 + 1 - px;  gx1 = px - x0;
  gy0 = y0 + 1 - py;  gy1 = py - y0;
  i0 = double (min (max (x0, 0), nb - 1)) + 1;
  i1 = double (min (max (x0 + 1, 0), nb - 1)) + 1;
  j0 = double (min (max (y0, 0), nb - 1)) + 1;
  j1 = double (min (max (y0 + 1, 0), nb - 1)) + 1;
  row0 = nb * (j0 - 1);
  row1 = nb * (j1 - 1);
  joint = accumarray ([i0 + row0; i1 + row0; i0 + row1; i1 + row1], ...
                      [gx0 .* gy0; gx1 .* gy0; gx0 .* gy1; gx1 .* gy1], [nb * nb 1]);
  joint = reshape (joint, nb, nb) / n;
  h1 = accumarray ([i0; i1], [gx0; gx1], [nb 1]) / n;
  h2 = accumarray ([j0; j1], [gy0; gy1], [nb 1]) / n;
end

function s = ifelse_text (condition, yes, no)
  if (condition)
    s = yes;
  else
    s = no;
  end
end

function t = median_time (fn, runs)
  times = zeros (runs, 1);
  for r = 1:runs
    start = tic ();
    [o1, o2, o3] = fn ();  % the plug-ins require all three outputs
    times(r) = toc (start);
  end
  t = median (times);
end

args = argv ();
if (numel (args) < 2)
  error ('usage: octave_jointbins.m MEX_DIR OUT_DIR');
end
addpath (args{end-1});
out_dir = args{end};

rand ('twister', 1);
randn ('twister', 2);
runs = 3;
bins = 64;
rows = {};
failed = false;
for scale = [1 2]
  dims = [256 256 160] / scale;
  a = blob_image (dims(1), dims(2), dims(3));
  b = min (max (0.5 + 0.45 * sin (4 * a) + 0.03 * randn (size (a)), 0), 1);
  workload = sprintf ('%dx%dx%d, %d bins', dims, bins);
  for precision = {'f64', 'f32'}
    if (strcmp (precision{1}, 'f64'))
      x = a;  y = b;  cast = @double;  plugin = @jointbins_f64;  tolerance = 1e-12;
    else
      x = single (a);  y = single (b);  cast = @single;  plugin = @jointbins_f32;
      % float sums of millions of samples in two different orders
      tolerance = 1e-4;
    end
    [j, h1, h2] = plugin (x, y, cast (0), cast (1), cast (bins));
    [vj, v1, v2] = jointbins_vectorised (x, y, cast (0), cast (1), cast (bins));
    difference = max (abs (double ([j(:); h1; h2]) - double ([vj(:); v1; v2])));
    scale_of = max (abs (double ([vj(:); v1; v2])));
    agree = difference <= tolerance * scale_of;
    failed = failed || ! agree;
    plugin_s = median_time (@() plugin (x, y, cast (0), cast (1), cast (bins)), runs);
    octave_s = median_time (@() jointbins_vectorised (x, y, cast (0), cast (1), cast (bins)), runs);
    rows{end+1} = sprintf ('| jointbins_%s | %s | %.1f | %.1f | %.1fx | %.3g samples/s | %.2g%s |', ...
                           precision{1}, workload, plugin_s * 1e3, octave_s * 1e3, ...
                           octave_s / plugin_s, numel (x) / plugin_s, difference, ...
                           ifelse_text (agree, '', ' (TOO LARGE)'));
    printf ('%s\n', rows{end});
  end
end

header = {'## Joint histogram against vectorised Octave (accumarray)', '', ...
          '| plug-in | workload | plug-in (ms) | Octave (ms) | speed-up | plug-in throughput | largest difference |', ...
          '|---|---|---|---|---|---|---|'};
fid = fopen (fullfile (out_dir, 'jointbins_octave.md'), 'w');
fprintf (fid, '%s\n', header{:}, rows{:});
fclose (fid);
if (failed)
  exit (1);
end
