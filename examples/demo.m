% demo  regkern on synthetic data: remapping, joint histograms and field
% inversion, in 3-D and in 2-D.
%
% Run by "make demo" (octave-cli in the build folder, no display needed),
% or from Octave or MATLAB with the plug-ins on the path. Makes all its data
% itself, prints the time of every plug-in call and the quality measures,
% and writes its figures as PNG files to <build>/demo/ (or to the folder
% that the environment variable REGKERN_DEMO_DIR names).

here = fileparts (mfilename ('fullpath'));
% This folder holds the helpers; its demo.m shadows the host's own "demo".
state = warning ('off', 'all');
addpath (here);
warning (state);
root = fileparts (here);
if (exist (fullfile (pwd (), 'octave'), 'dir'))
  build = pwd ();
else
  build = fullfile (root, 'build');
end
if (exist ('jointbins_f64', 'file') ~= 3)
  addpath (fullfile (build, 'octave'));
  if (exist ('jointbins_f64', 'file') ~= 3)
    addpath (fullfile (build, 'mex'));     % build_mex's default folder
  end
end
if (exist ('jointbins_f64', 'file') ~= 3)
  error ('demo:notBuilt', 'the plug-ins are not built: run "make build" or build_mex first');
end
out_dir = getenv ('REGKERN_DEMO_DIR');     % where the tests want the figures
if (isempty (out_dir))
  out_dir = fullfile (build, 'demo');
end
if (~exist (out_dir, 'dir'))
  mkdir (out_dir);
end

demo_start = tic;
report = @(name, what, seconds) fprintf ('  %-21s %-44s %7.3f s\n', name, what, seconds);
grey = gray (256);
heat = hot (256);
% blue - white - red for signed displacements
ramp = linspace (0, 1, 128)';
signed = [ramp ramp ones(128, 1); ones(128, 1) flipud(ramp) flipud(ramp)];
bins = 64;
% The second modality: the same tissues under a non-monotonic contrast.
contrast = @(v) 0.1 + 0.8 * sin (1.5 * pi * v) .^ 2;
correlation = @(a, b) sum ((a(:) - mean (a(:))) .* (b(:) - mean (b(:)))) / ...
              sqrt (sum ((a(:) - mean (a(:))) .^ 2) * sum ((b(:) - mean (b(:))) .^ 2));
gauss = @(w) exp (-((1:w)' - (w + 1) / 2) .^ 2 / (2 * (w / 4) ^ 2));
randn ('state', 7);

fprintf ('regkern demo: figures go to %s\n', out_dir);
fprintf ('  plug-ins from %s, %d worker threads for remapping\n', ...
         fileparts (which ('jointbins_f64')), maxNumCompThreads ());

%% (1) Two modalities of a 3-D phantom, remapped into each other
vol_size = [96 96 64];
tissue = demo_phantom (vol_size);
A = min (max (tissue + 0.02 * randn (vol_size), 0), 1);
D = min (max (contrast (tissue) + 0.03 * randn (vol_size), 0), 1);
window = 15;
W = gauss (window) .* gauss (window)' .* reshape (gauss (window), 1, 1, []);
spacing = 5;
fprintf ('\n(1) 3-D phantom %dx%dx%d: A and D are two modalities (D = nonlinear map of A + noise)\n', vol_size);
tic; [joint_before, hist_a, hist_d] = jointbins_f64 (A, D, 0, 1, bins); t = toc;
report ('jointbins_f64', sprintf ('A vs D, %d bins', bins), t);
tic; [out_a, out_b] = remap_vol_f64 (A, D, A, D, [0 1], bins, W, spacing); t = toc;
report ('remap_vol_f64', sprintf ('window %d^3, spacing %d, %d bins', window, spacing, bins), t);
tic; [joint_after, ~, ~] = jointbins_f64 (out_a, D, 0, 1, bins); t = toc;
report ('jointbins_f64', 'out_a vs D', t);
tic; [joint_back, ~, ~] = jointbins_f64 (out_b, A, 0, 1, bins); t = toc;
report ('jointbins_f64', 'out_b vs A', t);
clean_d = contrast (tissue);
fprintf ('  correlation with D: A %.3f, out_a %.3f\n', correlation (A, D), correlation (out_a, D));
fprintf ('  mean |A - D| %.4f, mean |out_a - D| %.4f (D''s noise: 0.03), mean |out_a - noise-free D| %.4f\n', ...
         mean (abs (A(:) - D(:))), mean (abs (out_a(:) - D(:))), mean (abs (out_a(:) - clean_d(:))));

hist_panel = @(j, name, y) struct ('data', flipud (log10 (j')), 'range', [-6 log10(max (j(:)))], ...
                                  'map', heat, 'title', {{name, ['x: ' strtok(name) '  y: ' y]}}, ...
                                  'bar', 'log10', 'scale', 4);
demo_figure (fullfile (out_dir, 'vol_joint_histograms.png'), ...
             [hist_panel(joint_before, 'A vs D', 'D'), hist_panel(joint_after, 'out_a vs D', 'D'), ...
              hist_panel(joint_back, 'out_b vs A', 'A')]);
mid = round (vol_size(3) / 2);
slice_panel = @(v, name, range, map, bar) struct ('data', v(:, :, mid), 'range', range, 'map', map, ...
                                                 'title', name, 'bar', bar, 'scale', 2);
demo_figure (fullfile (out_dir, 'vol_slices.png'), ...
             [slice_panel(A, 'A', [0 1], grey, ''), slice_panel(D, 'D', [0 1], grey, ''), ...
              slice_panel(out_a, 'out_a: A as D', [0 1], grey, ''), ...
              slice_panel(out_b, 'out_b: D as A', [0 1], grey, ''), ...
              slice_panel(abs (out_a - clean_d), 'out_a error', [0 0.2], heat, '')]);

%% (2) A smooth 3-D backward field and its inverse
b = demo_field (vol_size, 3);
margin = ceil (max (cellfun (@(c) max (abs (c(:))), b))) + 2;
fprintf ('\n(2) smooth backward field on the %dx%dx%d grid, |b| up to %.2f voxels\n', vol_size, ...
         max (sqrt (b{1}(:) .^ 2 + b{2}(:) .^ 2 + b{3}(:) .^ 2)));
fprintf ('  inverse-consistency error |F(p + b(p)) + b(p)| over interior voxels (margin %d), in voxels\n', margin);
[kx, ky, kz] = ndgrid (-1:1);
smooth = exp (-(kx .^ 2 + ky .^ 2 + kz .^ 2) / (2 * 0.6 ^ 2));
kernels = {1, '1 (no spreading)'; smooth, '3x3x3 Gaussian'};
vol_errors = cell (1, 2);
for k = 1:2
  F = cell (1, 3);
  tic; [F{:}] = dispinvert_vol_f64 (b{1}, b{2}, b{3}, kernels{k, 1}); t = toc;
  report ('dispinvert_vol_f64', ['kernel ' kernels{k, 2}], t);
  [e, interior] = demo_consistency (b, F, margin);
  v = sort (e(interior));
  fprintf ('  %-21s mean %.4f, 95th percentile %.4f, max %.4f\n', '', mean (v), v(ceil (0.95 * numel (v))), v(end));
  vol_errors{k} = e;
  if (k == 1)
    F_vol = F;
  end
end
limit = 3;
demo_figure (fullfile (out_dir, 'vol_inversion.png'), ...
             [slice_panel(b{1}, 'backward bx', [-limit limit], signed, 'vox'), ...
              slice_panel(F_vol{1}, 'forward Fx', [-limit limit], signed, 'vox'), ...
              slice_panel(vol_errors{1}, 'error, kernel 1', [0 0.02], heat, 'vox'), ...
              slice_panel(vol_errors{2}, 'error, Gaussian', [0 0.02], heat, 'vox')]);

%% (3) The same in 2-D
plane_size = [256 224];
tissue = demo_phantom (plane_size);
A = min (max (tissue + 0.02 * randn (plane_size), 0), 1);
D = min (max (contrast (tissue) + 0.03 * randn (plane_size), 0), 1);
window = 21;
W = gauss (window) .* gauss (window)';
fprintf ('\n(3) 2-D phantom %dx%d\n', plane_size);
tic; [joint_before, ~, ~] = jointbins_f64 (A, D, 0, 1, bins); t = toc;
report ('jointbins_f64', 'A vs D', t);
tic; [out_a, out_b] = remap_plane_f64 (A, D, A, D, [0 1], bins, W, spacing); t = toc;
report ('remap_plane_f64', sprintf ('window %d^2, spacing %d, %d bins', window, spacing, bins), t);
tic; [joint_after, ~, ~] = jointbins_f64 (out_a, D, 0, 1, bins); t = toc;
report ('jointbins_f64', 'out_a vs D', t);
tic; [joint_back, ~, ~] = jointbins_f64 (out_b, A, 0, 1, bins); t = toc;
report ('jointbins_f64', 'out_b vs A', t);
clean_d = contrast (tissue);
fprintf ('  correlation with D: A %.3f, out_a %.3f; mean |out_a - noise-free D| %.4f\n', ...
         correlation (A, D), correlation (out_a, D), mean (abs (out_a(:) - clean_d(:))));
demo_figure (fullfile (out_dir, 'plane_joint_histograms.png'), ...
             [hist_panel(joint_before, 'A vs D', 'D'), hist_panel(joint_after, 'out_a vs D', 'D'), ...
              hist_panel(joint_back, 'out_b vs A', 'A')]);
plane_panel = @(v, name, range, map, bar) struct ('data', v, 'range', range, 'map', map, ...
                                                 'title', name, 'bar', bar, 'scale', 1);
demo_figure (fullfile (out_dir, 'plane_slices.png'), ...
             [plane_panel(A, 'A', [0 1], grey, ''), plane_panel(D, 'D', [0 1], grey, ''), ...
              plane_panel(out_a, 'out_a: A as D', [0 1], grey, ''), ...
              plane_panel(out_b, 'out_b: D as A', [0 1], grey, ''), ...
              plane_panel(abs (out_a - clean_d), 'out_a error', [0 0.2], heat, '')]);

b = demo_field (plane_size, 6);
margin = ceil (max (cellfun (@(c) max (abs (c(:))), b))) + 2;
fprintf ('  smooth backward field, |b| up to %.2f pixels\n', max (sqrt (b{1}(:) .^ 2 + b{2}(:) .^ 2)));
F = cell (1, 2);
tic; [F{:}] = dispinvert_plane_f64 (b{1}, b{2}, 1); t = toc;
report ('dispinvert_plane_f64', 'kernel 1', t);
[e, interior] = demo_consistency (b, F, margin);
v = sort (e(interior));
fprintf ('  %-21s mean %.4f, 95th percentile %.4f, max %.4f pixels (interior, margin %d)\n', '', ...
         mean (v), v(ceil (0.95 * numel (v))), v(end), margin);
% A grid warped by b, then brought back with F: I(p) -> I(p + b(p)) -> back.
[px, py] = ndgrid (1:plane_size(1), 1:plane_size(2));
grid_image = double (mod (px, 16) < 2 | mod (py, 16) < 2);
warped = interp2 (grid_image, py + b{2}, px + b{1}, 'linear', 0);
unwarped = interp2 (warped, py + F{2}, px + F{1}, 'linear', 0);
demo_figure (fullfile (out_dir, 'plane_inversion.png'), ...
             [plane_panel(grid_image, 'grid', [0 1], grey, ''), ...
              plane_panel(warped, 'warped by b', [0 1], grey, ''), ...
              plane_panel(unwarped, 'warped back by F', [0 1], grey, ''), ...
              plane_panel(e, '|F(p+b)+b|', [0 0.01], heat, 'px')]);

figures = dir (fullfile (out_dir, '*.png'));
fprintf ('\nfigures: %s\n', strjoin (sort ({figures.name}), ', '));
fprintf ('demo finished in %.1f s\n', toc (demo_start));
