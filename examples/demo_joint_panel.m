% demo_joint_panel  One joint histogram of a demo figure, on a log colour
% scale, drawn against the intensities of its two images.
%
%   demo_joint_panel (grid, k, joint, names, centres, top)
%
% grid, k: as demo_panel; joint: B-by-B output of jointbins_f64 for the
% range [0 1] (rows over the first image); names: {first, second} image
% names; centres: the B bin centres in intensity; top: log10 of the share
% at the top of the colour scale. Cells that hold no sample are drawn in the
% lowest colour, 1e-6.
function demo_joint_panel (grid, k, joint, names, centres, top)
  floor_share = 1e-6;
  map = hot (256);
  ax = demo_panel (grid, k, centres, centres, log10 (max (joint, floor_share)), ...
                   [log10(floor_share) top], map, [names{1} ' vs ' names{2} ': share per bin pair'], ...
                   {[names{1} ' (intensity)'], [names{2} ' (intensity)'], 'log10 (share of samples)'});
  % The intensity axes run over the range [0 1], ticks at both ends; the
  % sliver between the last bin's centre cell and 1 is drawn as empty.
  set (ax, 'XLim', [0 1], 'YLim', [0 1], 'XTick', 0:0.2:1, 'YTick', 0:0.2:1, 'Color', map(1, :));
end
