% demo_joint  Figure of three joint histograms on a log colour scale, each
% drawn against the intensities of its two images.
%
%   f = demo_joint (joints, names, centres, size_in)
%
% joints: cell of three B-by-B outputs of jointbins_f64 (rows over the first
% image); names: cell of three {first, second} image names; centres: the B
% bin centres in intensity; size_in: [width height] in inches. Cells that
% hold no sample are drawn in the lowest colour, 1e-6.
function f = demo_joint (joints, names, centres, size_in)
  f = demo_figure (size_in(1), size_in(2));
  floor_share = 1e-6;
  top = log10 (max (cellfun (@(j) max (j(:)), joints)));
  for k = 1:3
    pair = names{k};
    demo_panel ([1 3], k, centres, centres, log10 (max (joints{k}, floor_share)), ...
                [log10(floor_share) top], hot (256), [pair{1} ' vs ' pair{2} ': share of samples per bin pair'], ...
                {[pair{1} ' (intensity)'], [pair{2} ' (intensity)'], 'log10 (share of samples)'});
  end
end
