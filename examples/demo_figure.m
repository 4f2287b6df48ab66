% demo_figure  Write panels of colour-mapped arrays, titled, as one PNG.
%
%   demo_figure (file, panels)
%
% panels is a struct array with the fields
%   data   2-D array; element (1,1) is drawn top left
%   range  [lo hi] mapped to the ends of the colour map (NaN is drawn black)
%   map    n-by-3 colour map
%   title  char or cell array of lines
%   bar    units text for a colour bar with the range under the panel, or
%          '' for none
%   scale  whole-number magnification (nearest neighbour)
% The figure is written with imwrite, so no display or plotting system is
% needed.
function demo_figure (file, panels)
  pad = 12;
  text_scale = 2;
  line_height = 7 * text_scale + 6;
  title_lines = 0;
  panel_height = 0;
  panel_width = 0;
  for k = 1:numel (panels)
    title_lines = max (title_lines, numel (cellstr (panels(k).title)));
    panel_height = max (panel_height, size (panels(k).data, 1) * panels(k).scale);
    panel_width = max (panel_width, size (panels(k).data, 2) * panels(k).scale);
  end
  bar_height = 0;
  if (any (~cellfun (@isempty, {panels.bar})))
    bar_height = pad + 12 + line_height;
  end
  height = pad + title_lines * line_height + panel_height + bar_height + pad;
  width = pad + numel (panels) * (panel_width + pad);
  canvas = 0.12 * ones (height, width, 3);
  for k = 1:numel (panels)
    p = panels(k);
    left = pad + (k - 1) * (panel_width + pad);
    lines = cellstr (p.title);
    for m = 1:numel (lines)
      canvas = demo_text (canvas, lines{m}, pad + (m - 1) * line_height, left, text_scale);
    end
    top = pad + title_lines * line_height;
    rgb = colour_map (p.data, p.range, p.map, p.scale);
    canvas(top + (1:size (rgb, 1)) - 1, left + (1:size (rgb, 2)) - 1, :) = rgb;
    if (~isempty (p.bar))
      bar_top = top + panel_height + pad;
      bar_width = size (rgb, 2);
      ramp = repmat (linspace (p.range(1), p.range(2), bar_width), 10, 1);
      canvas(bar_top + (0:9), left + (0:bar_width - 1), :) = colour_map (ramp, p.range, p.map, 1);
      low = number_text (p.range(1));
      high = [number_text(p.range(2)) ' ' p.bar];
      label_top = bar_top + 14;
      canvas = demo_text (canvas, low, label_top, left, text_scale);
      canvas = demo_text (canvas, high, label_top, ...
                          left + bar_width - numel (high) * 6 * text_scale, text_scale);
    end
  end
  imwrite (canvas, file);
end

function rgb = colour_map (data, range, map, scale)
  n = size (map, 1);
  index = round ((data - range(1)) / (range(2) - range(1)) * (n - 1)) + 1;
  index = min (max (index, 1), n);
  index(isnan (data)) = 1;
  rows = ceil ((1:size (data, 1) * scale) / scale);
  cols = ceil ((1:size (data, 2) * scale) / scale);
  index = index(rows, cols);
  rgb = reshape (map(index, :), [size(index) 3]);
  black = repmat (isnan (data(rows, cols)), [1 1 3]);
  rgb(black) = 0;
end

function s = number_text (v)
  s = sprintf ('%.3g', v);
end
