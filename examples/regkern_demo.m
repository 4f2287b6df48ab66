% regkern_demo  regkern on synthetic data: remapping, joint histograms and field
% inversion, in 3-D and in 2-D.
%
% Run by "make demo" (octave-cli in the build folder, no display needed),
% or from Octave or MATLAB with the plug-ins on the path. Makes all its data
% itself, prints the time of every plug-in call and the quality measures,
% and writes its figures as PNG files to <build>/demo/ (or to the folder
% that the environment variable REGKERN_DEMO_DIR names).

addpath (fileparts (mfilename ('fullpath')));   % the demo's helpers
out_dir = demo_setup ();

demo_start = tic;
report = @(name, what, seconds) fprintf ('  %-21s %-44s %7.3f s\n', name, what, seconds);
heat = hot (256);
% blue - white - red for signed displacements
ramp = linspace (0, 1, 128)';
signed = [ramp ramp ones(128, 1); ones(128, 1) flipud(ramp) flipud(ramp)];
bins = 64;
centres = (0:bins - 1) / bins;             % bin centres, in intensity, for [0 1]
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

fprintf ('  mean |out_b - noise-free A| %.4f\n', mean (abs (out_b(:) - tissue(:))));
mid = round (vol_size(3) / 2);
f = demo_remapped (A(:, :, mid), D(:, :, mid), out_a(:, :, mid), out_b(:, :, mid), ...
                   tissue(:, :, mid), clean_d(:, :, mid), sprintf ('slice z = %d', mid), 'voxels', [12.5 6.4]);
print (f, '-dpng', '-r100', fullfile (out_dir, 'vol_slices.png'));
close (f);
f = demo_joint ({joint_before, joint_after, joint_back}, {{'A', 'D'}, {'out_a', 'D'}, {'out_b', 'A'}}, ...
                centres, [14 4]);
print (f, '-dpng', '-r100', fullfile (out_dir, 'vol_joint_histograms.png'));
close (f);

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
% The colour scale fits the slice shown, in steps of a quarter voxel.
shown = [b{1}(:, :, mid), F_vol{1}(:, :, mid)];
limit = ceil (4 * max (abs (shown(:)))) / 4;
f = demo_figure (10, 7.6);
x = 1:vol_size(1);
y = 1:vol_size(2);
in_voxels = @(what) {'x (voxels)', 'y (voxels)', [what ' (voxels)']};
consistency = '|F(p + b(p)) + b(p)|';
demo_panel ([2 2], 1, x, y, b{1}(:, :, mid), [-limit limit], signed, ...
            sprintf ('backward field bx, slice z = %d', mid), in_voxels ('bx'));
demo_panel ([2 2], 2, x, y, F_vol{1}(:, :, mid), [-limit limit], signed, ...
            'forward field Fx, its inverse', in_voxels ('Fx'));
demo_panel ([2 2], 3, x, y, vol_errors{1}(:, :, mid), [0 0.02], heat, ...
            'inverse-consistency error, kernel 1', in_voxels (consistency));
demo_panel ([2 2], 4, x, y, vol_errors{2}(:, :, mid), [0 0.02], heat, ...
            'inverse-consistency error, 3x3x3 Gaussian', in_voxels (consistency));
print (f, '-dpng', '-r100', fullfile (out_dir, 'vol_inversion.png'));
close (f);

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
fprintf ('  mean |out_b - noise-free A| %.4f\n', mean (abs (out_b(:) - tissue(:))));
f = demo_remapped (A, D, out_a, out_b, tissue, clean_d, sprintf ('%dx%d', plane_size), 'pixels', [12.5 6.4]);
print (f, '-dpng', '-r100', fullfile (out_dir, 'plane_slices.png'));
close (f);
f = demo_joint ({joint_before, joint_after, joint_back}, {{'A', 'D'}, {'out_a', 'D'}, {'out_b', 'A'}}, ...
                centres, [14 4]);
print (f, '-dpng', '-r100', fullfile (out_dir, 'plane_joint_histograms.png'));
close (f);

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
f = demo_figure (10, 7.6);
x = 1:plane_size(1);
y = 1:plane_size(2);
in_pixels = {'x (pixels)', 'y (pixels)', 'intensity'};
demo_panel ([2 2], 1, x, y, grid_image, [0 1], gray (256), 'grid I', in_pixels);
demo_panel ([2 2], 2, x, y, warped, [0 1], gray (256), 'I warped by the backward field b', in_pixels);
demo_panel ([2 2], 3, x, y, unwarped, [0 1], gray (256), 'warped back by its inverse F', in_pixels);
demo_panel ([2 2], 4, x, y, e, [0 0.01], heat, 'inverse-consistency error, kernel 1', ...
            {'x (pixels)', 'y (pixels)', [consistency ' (pixels)']});
print (f, '-dpng', '-r100', fullfile (out_dir, 'plane_inversion.png'));
close (f);

figures = dir (fullfile (out_dir, '*.png'));
fprintf ('\nfigures: %s\n', strjoin (sort ({figures.name}), ', '));
fprintf ('demo finished in %.1f s\n', toc (demo_start));
