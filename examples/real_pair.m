% real_pair  regkern on real data: two MRI slices of one brain, T1-weighted
% and proton density (PD), as a researcher would start with their own.
%
% The slices are BrainT1SliceBorder20.png and BrainProtonDensitySliceBorder20.png
% from Debian's insighttoolkit5-examples package ("make demo" installs it when
% run as root), or from the folder the environment variable REGKERN_DATA_DIR
% names. Without them the example says so and stops.
%
% What it shows (docs/real_data.md says why each choice is made):
%   - imread gives uint8; im2double scales it to [0 1], the range given to
%     the plug-ins (double (T1) with the range [0 1] would put every pixel
%     in the top bin, and the plug-ins warn of that)
%   - bins from the number of grey levels, a window of three block edges
%   - each slice remapped into the other's intensities, with the correlation
%     before and after
%   - the joint histogram and the mutual information (mutual_information)
%     of the aligned slices and of a shifted pair, over the whole image and
%     over the head only (a mask, by indexing both images with it)
%   - a figure, real_pair.png, where regkern_demo writes its figures
%
% Run by "make demo", or from Octave or MATLAB with the plug-ins on the path.

addpath (fileparts (mfilename ('fullpath')));   % the demo's helpers
out_dir = demo_setup ();
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
  fprintf (['real_pair: skipped: the example images %s and %s are not in %s.\n' ...
            '  On Debian or Ubuntu: sudo apt-get install insighttoolkit5-examples (a system that\n' ...
            '  leaves out /usr/share/doc when installing needs the two files copied by hand), or\n' ...
            '  set REGKERN_DATA_DIR to a folder that holds them.\n'], names{:}, data_dir);
  return;
end

report = @(name, what, seconds) fprintf ('  %-17s %-48s %7.3f s\n', name, what, seconds);
correlation = @(a, b) sum ((a(:) - mean (a(:))) .* (b(:) - mean (b(:)))) / ...
              sqrt (sum ((a(:) - mean (a(:))) .^ 2) * sum ((b(:) - mean (b(:))) .^ 2));
t1_raw = imread (fullfile (data_dir, names{1}));
pd_raw = imread (fullfile (data_dir, names{2}));
fprintf ('real_pair: two MRI slices of one brain, from %s\n', data_dir);
levels = [numel(unique (t1_raw)), numel(unique (pd_raw))];
fprintf ('  T1: %dx%d %s, %d grey levels from %d to %d\n', size (t1_raw), class (t1_raw), levels(1), ...
         min (t1_raw(:)), max (t1_raw(:)));
fprintf ('  PD: %dx%d %s, %d grey levels from %d to %d\n', size (pd_raw), class (pd_raw), levels(2), ...
         min (pd_raw(:)), max (pd_raw(:)));

% uint8 0..255 to double 0..1, so that the range [0 1] spans the data
if (exist ('im2double', 'file'))
  t1 = im2double (t1_raw);
  pd = im2double (pd_raw);
else                                       % MATLAB without the image toolbox
  t1 = double (t1_raw) / 255;
  pd = double (pd_raw) / 255;
end
% As many bins as the image with more grey levels has (more would leave
% empty bins between the levels), at most 64, so that a window still puts
% a dozen samples or more in each bin.
bins = min (max (levels), 64);
spacing = 7;
window = 3 * spacing;
fprintf ('  im2double: intensities in [0 1]; %d bins, spacing %d, a flat %dx%d window\n', ...
         bins, spacing, window, window);

tic; [t1_as_pd, pd_as_t1] = remap_plane_f64 (t1, pd, t1, pd, [0 1], bins, ones (window), spacing); t = toc;
report ('remap_plane_f64', 'T1 into PD''s intensities and PD into T1''s', t);
fprintf ('  correlation with PD: T1 %.3f, T1 remapped (out_a) %.3f\n', correlation (t1, pd), correlation (t1_as_pd, pd));
fprintf ('  correlation with T1: PD %.3f, PD remapped (out_b) %.3f\n', correlation (pd, t1), correlation (pd_as_t1, t1));

% The joint histogram of the aligned slices, and of PD shifted by 13 pixels
% down and 17 to the right (circshift: what leaves one side comes back at
% the other, so both images keep all their pixels).
shift = [13 17];
shifted = circshift (pd, shift);
tic; [joint_aligned, h1, h2] = jointbins_f64 (t1, pd, 0, 1, bins); t = toc;
report ('jointbins_f64', 'T1 vs PD', t);
mi_aligned = mutual_information (joint_aligned, h1, h2);
[joint_shifted, h1, h2] = jointbins_f64 (t1, shifted, 0, 1, bins);
mi_shifted = mutual_information (joint_shifted, h1, h2);
fprintf ('  mutual information: aligned %.3f nats, PD shifted by %dx%d pixels %.3f nats\n', ...
         mi_aligned, shift, mi_shifted);
% The background is most of each image: a mask keeps the pixels where
% either slice shows tissue, by indexing both images with it.
tissue = 0.1;
mask = t1 > tissue | pd > tissue;
[j, h1, h2] = jointbins_f64 (t1(mask), pd(mask), 0, 1, bins);
masked_aligned = mutual_information (j, h1, h2);
mask_shifted = t1 > tissue | shifted > tissue;
[j, h1, h2] = jointbins_f64 (t1(mask_shifted), shifted(mask_shifted), 0, 1, bins);
masked_shifted = mutual_information (j, h1, h2);
fprintf ('  head only (%.0f %% of the pixels): aligned %.3f nats, shifted %.3f nats\n', ...
         100 * mean (mask(:)), masked_aligned, masked_shifted);

% The figure: slices as they are seen (row 1 at the top), the remapped
% slices, and the two joint histograms.
f = demo_figure (12.5, 7.4);
across = 1:size (t1, 2);
down = 1:size (t1, 1);
in_pixels = {'column (pixels)', 'row (pixels)', 'intensity'};
panels = {t1, 'T1'; pd, 'PD'; t1_as_pd, 'T1 remapped to PD (out_a)'; pd_as_t1, 'PD remapped to T1 (out_b)'};
for k = 1:4
  ax = demo_panel ([2 3], k + (k > 2), across, down, panels{k, 1}', [0 1], gray (256), panels{k, 2}, in_pixels);
  set (ax, 'YDir', 'reverse');
end
centres = (0:bins - 1) / bins;
top = log10 (max ([joint_aligned(:); joint_shifted(:)]));
demo_joint_panel ([2 3], 3, joint_aligned, {'T1', 'PD'}, centres, top);
title (sprintf ('aligned: MI %.2f nats', mi_aligned));
demo_joint_panel ([2 3], 6, joint_shifted, {'T1', 'PD shifted'}, centres, top);
title (sprintf ('PD shifted by %dx%d: MI %.2f nats', shift, mi_shifted));
print (f, '-dpng', '-r100', fullfile (out_dir, 'real_pair.png'));
close (f);
fprintf ('figure: %s\n', fullfile (out_dir, 'real_pair.png'));
