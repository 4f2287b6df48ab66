% batch_subject  One subject of a synthetic cohort, registered the way each
% subject of a real one would be: two modalities remapped into each other,
% their joint histogram, and the inverse of a displacement field.
%
%   r = batch_subject (subject, vol_size, threads)
%
% subject   whole number >= 1: selects the subject's bias, contrast, noise
%           and displacement (the same number always gives the same data)
% vol_size  [sx sy sz] of its volumes
% threads   worker threads of the plug-ins for this call (maxNumCompThreads,
%           restored afterwards); 1 in each process of a parallel batch
%
% r is a struct: subject, threads (the count the plug-ins were given),
% out_a and out_b (remap_vol_f64), joint (jointbins_f64 of out_a and D,
% 32 bins), F (the forward field from dispinvert_vol_f64, a 1x3 cell) and
% correlation ([A vs D, out_a vs D]). The results do not depend on THREADS.
% Needs the plug-ins and examples/ (demo_phantom, demo_field) on the path.
function r = batch_subject (subject, vol_size, threads)
  previous = set_threads (threads);
  % The data: the demo's phantom under a subject's own bias field and
  % contrast, with noise from a hash of the voxel index, so that every
  % process makes the same subject without sharing a random generator.
  tissue = demo_phantom (vol_size);
  [x, y] = ndgrid (linspace (-1, 1, vol_size(1)), linspace (-1, 1, vol_size(2)));
  bias = 1 + 0.05 * mod (subject, 5) * (x + 0.5 * y);
  noise = @(seed) mod (sin ((1:numel (tissue))' * 12.9898 + seed * 78.233) * 43758.5453, 1) - 0.5;
  A = min (max (tissue .* bias + 0.04 * reshape (noise (2 * subject), vol_size), 0), 1);
  power = 1 + 0.1 * mod (subject, 3);
  D = min (max (0.1 + 0.8 * sin (1.5 * pi * tissue .^ power) .^ 2 + ...
                0.06 * reshape (noise (2 * subject + 1), vol_size), 0), 1);
  window = 7;
  g = exp (-((1:window)' - (window + 1) / 2) .^ 2 / (2 * (window / 4) ^ 2));
  W = g .* g' .* reshape (g, 1, 1, []);

  [out_a, out_b] = remap_vol_f64 (A, D, A, D, [0 1], 32, W, 3);
  [joint, ~, ~] = jointbins_f64 (out_a, D, 0, 1, 32);
  b = demo_field (vol_size, 1 + 0.25 * mod (subject, 4));
  F = cell (1, 3);
  [F{:}] = dispinvert_vol_f64 (b{1}, b{2}, b{3}, 1);
  r = struct ('subject', subject, 'threads', maxNumCompThreads (), 'out_a', out_a, ...
              'out_b', out_b, 'joint', joint, 'F', {F}, ...
              'correlation', [correlation(A, D), correlation(out_a, D)]);
  set_threads (previous);
end

function previous = set_threads (count)
  % Octave's maxNumCompThreads only records the count (which the plug-ins
  % read) and warns that its own code ignores it.
  state = warning ('off', 'Octave:maxNumCompThreads:no-effect');
  previous = maxNumCompThreads (count);
  warning (state);
end

function c = correlation (a, b)
  a = a(:) - mean (a(:));
  b = b(:) - mean (b(:));
  c = sum (a .* b) / sqrt (sum (a .^ 2) * sum (b .^ 2));
end
