% demo_remapped  Figure of two modalities remapped into each other: the inputs,
% the remapped images and each one's error against the noise-free target.
%
%   f = demo_remapped (A, D, out_a, out_b, clean_a, clean_d, where, unit, size_in)
%
% A, D, out_a, out_b, clean_a, clean_d: 2-D arrays (a slice or an image) of
% intensities in [0, 1]; clean_a and clean_d are A and D without their noise.
% where: text for the titles ('slice z = 32'); unit: 'voxels' or 'pixels';
% size_in: [width height] of the figure in inches. Returns the figure.
function f = demo_remapped (A, D, out_a, out_b, clean_a, clean_d, where, unit, size_in)
  f = demo_figure (size_in(1), size_in(2));
  x = 1:size (A, 1);
  y = 1:size (A, 2);
  axes_labels = {['x (' unit ')'], ['y (' unit ')']};
  intensity = [axes_labels, {'intensity'}];
  error_range = [0 0.1];
  error_label = [axes_labels, {'absolute error (intensity)'}];
  demo_panel ([2 3], 1, x, y, A, [0 1], gray (256), ['A, ' where], intensity);
  demo_panel ([2 3], 2, x, y, out_b, [0 1], gray (256), 'out_b: D remapped to A', intensity);
  demo_panel ([2 3], 3, x, y, abs (out_b - clean_a), error_range, hot (256), ...
              '|out_b - noise-free A|', error_label);
  demo_panel ([2 3], 4, x, y, D, [0 1], gray (256), ['D, ' where], intensity);
  demo_panel ([2 3], 5, x, y, out_a, [0 1], gray (256), 'out_a: A remapped to D', intensity);
  demo_panel ([2 3], 6, x, y, abs (out_a - clean_d), error_range, hot (256), ...
              '|out_a - noise-free D|', error_label);
end
