% demo_joint  Figure of three joint histograms on a log colour scale, each
% drawn against the intensities of its two images.
%
%   f = demo_joint (joints, names, centres, size_in)
%
% joints: cell of three B-by-B outputs of jointbins_f64 (rows over the first
% image); names: cell of three {first, second} image names; centres: the B
% bin centres in intensity for the range [0 1]; size_in: [width height] in
% inches. Cells that hold no sample are drawn in the lowest colour, 1e-6.
function f = demo_joint (joints, names, centres, size_in)
  f = demo_figure (size_in(1), size_in(2));
  % three panels side by side: text as large as the other figures' looks
  set (f, 'DefaultAxesFontSize', 13);
  floor_share = 1e-6;
  top = log10 (max (cellfun (@(j) max (j(:)), joints)));
  map = hot (256);
  for k = 1:numel (joints)
    pair = names{k};
    ax = demo_panel ([1 numel(joints)], k, centres, centres, log10 (max (joints{k}, floor_share)), ...
                     [log10(floor_share) top], map, [pair{1} ' vs ' pair{2} ': share per bin pair'], ...
                     {[pair{1} ' (intensity)'], [pair{2} ' (intensity)'], 'log10 (share of samples)'});
    % The intensity axes run over the range [0 1], ticks at both ends; the
    % sliver between the last bin's centre cell and 1 is drawn as empty.
    set (ax, 'XLim', [0 1], 'YLim', [0 1], 'XTick', 0:0.2:1, 'YTick', 0:0.2:1, 'Color', map(1, :));
  end
end
