% real_pair_study  The measurements behind docs/real_data.md's tables: the
% remapping of the two MRI slices of examples/real_pair.m with other bins,
% windows and spacings. Prints each table as the page gives it.
%
% The slices as real_pair.m finds them (REGKERN_DATA_DIR, or Debian's
% insighttoolkit5-examples); without them the study says so and stops. Run
% from Octave or MATLAB with the plug-ins on the path, e.g.
%   octave-cli --eval "addpath build/octave; run examples/real_pair_study.m"

names = {'BrainT1SliceBorder20.png', 'BrainProtonDensitySliceBorder20.png'};
data_dir = getenv ('REGKERN_DATA_DIR');
if (isempty (data_dir))
  found = dir ('/usr/share/doc/insighttoolkit*-examples/examples/Data/BrainT1SliceBorder20.png');
  if (isempty (found))
    data_dir = '/usr/share/doc/insighttoolkit5-examples/examples/Data';
  else
    data_dir = found(1).folder;
  end
end
if (~exist (fullfile (data_dir, names{1}), 'file') || ~exist (fullfile (data_dir, names{2}), 'file'))
  fprintf ('real_pair_study: skipped: %s and %s are not in %s (see examples/real_pair.m)\n', ...
           names{:}, data_dir);
  return;
end
t1 = double (imread (fullfile (data_dir, names{1}))) / 255;   % im2double of uint8
pd = double (imread (fullfile (data_dir, names{2}))) / 255;
% The background: the share of T1's pixels at its most common grey level.
levels = unique (t1(:));
counts = arrayfun (@(v) sum (t1(:) == v), levels);
fprintf ('background: %.0f %% of T1''s pixels at one grey level (%d)\n', ...
         100 * max (counts) / numel (t1), round (255 * levels(counts == max (counts))));
correlation = @(a, b) sum ((a(:) - mean (a(:))) .* (b(:) - mean (b(:)))) / ...
              sqrt (sum ((a(:) - mean (a(:))) .^ 2) * sum ((b(:) - mean (b(:))) .^ 2));

% A Gaussian window of the flat one's extent, sigma a quarter of it.
extent = 21;
sigma = extent / 4;
[i, j] = ndgrid ((1:extent) - (extent + 1) / 2);
gaussian = exp (-(i .^ 2 + j .^ 2) / (2 * sigma ^ 2));

fprintf ('remapping, flat 21 x 21 window, spacing 7 | 16 bins | 32 bins | 64 bins\n');
rows = {'T1 remapped, correlation with PD', 'PD remapped, correlation with T1', ...
        sprintf('same with a Gaussian window (sigma = %d/4), T1 remapped', extent)};
table = zeros (3, 3);
all_bins = [16 32 64];
for k = 1:3
  [t1_as_pd, pd_as_t1] = remap_plane_f64 (t1, pd, t1, pd, [0 1], all_bins(k), ones (extent), 7);
  table(1, k) = correlation (t1_as_pd, pd);
  table(2, k) = correlation (pd_as_t1, t1);
  [t1_as_pd, ~] = remap_plane_f64 (t1, pd, t1, pd, [0 1], all_bins(k), gaussian, 7);
  table(3, k) = correlation (t1_as_pd, pd);
end
for r = 1:3
  fprintf ('  %-58s %.3f %.3f %.3f\n', rows{r}, table(r, :));
end

% The window against a misaligned pair: PD shifted by 13 x 17 pixels.
shifted = circshift (pd, [13 17]);
windows = [7 14 21 28];
fprintf ('spacing 7, 32 bins, flat window           | %s\n', ...
         strjoin (arrayfun (@(w) sprintf ('%d x %d', w, w), windows, 'UniformOutput', false), ' | '));
gap = zeros (2, numel (windows));
for k = 1:numel (windows)
  [t1_as_pd, ~] = remap_plane_f64 (t1, pd, t1, pd, [0 1], 32, ones (windows(k)), 7);
  gap(1, k) = correlation (t1_as_pd, pd);
  [t1_as_shifted, ~] = remap_plane_f64 (t1, shifted, t1, shifted, [0 1], 32, ones (windows(k)), 7);
  gap(2, k) = correlation (t1_as_shifted, shifted);
end
fprintf ('  %-40s %s\n', 'T1 remapped vs PD, aligned', sprintf ('%.3f ', gap(1, :)));
fprintf ('  %-40s %s\n', 'T1 remapped vs PD, PD shifted', sprintf ('%.3f ', gap(2, :)));
fprintf ('  %-40s %s\n', 'the gap', sprintf ('%.3f ', gap(1, :) - gap(2, :)));

% Spacings from 3 to 11, the window three block edges wide.
spacings = 3:2:11;
aligned = zeros (size (spacings));
for k = 1:numel (spacings)
  [t1_as_pd, ~] = remap_plane_f64 (t1, pd, t1, pd, [0 1], 32, ones (3 * spacings(k)), spacings(k));
  aligned(k) = correlation (t1_as_pd, pd);
end
fprintf ('spacing %s, window 3 x spacing, 32 bins: aligned correlation %s\n', ...
         mat2str (spacings), sprintf ('%.3f ', aligned));
