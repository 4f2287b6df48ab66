% demo_joint  Figure of joint histograms side by side on a log colour scale,
% each drawn against the intensities of its two images.
%
%   f = demo_joint (joints, names, centres, size_in)
%
% joints: cell of B-by-B outputs of jointbins_f64 for the range [0 1] (rows
% over the first image); names: cell of as many {first, second} image names;
% centres: the B bin centres in intensity; size_in: [width height] in inches.
function f = demo_joint (joints, names, centres, size_in)
  f = demo_figure (size_in(1), size_in(2));
  % panels side by side in a strip: text as large as the other figures' looks
  set (f, 'DefaultAxesFontSize', 13);
  top = log10 (max (cellfun (@(j) max (j(:)), joints)));
  for k = 1:numel (joints)
    demo_joint_panel ([1 numel(joints)], k, joints{k}, names{k}, centres, top);
  end
end
