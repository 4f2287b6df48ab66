% demo_panel  One image panel of a demo figure: an array drawn with imagesc on
% axes in voxels or intensities, y pointing up, with a labelled colour bar.
%
%   ax = demo_panel (grid, k, x, y, values, range, map, heading, labels)
%
% grid     [rows cols] of the figure's panels; k: this panel's number (row-wise)
% x, y     coordinates of the rows and columns of VALUES (voxels or intensities),
%          evenly spaced
% values   2-D array; values(i, j) is drawn at (x(i), y(j)), x to the right
%          and y upwards. NaN marks "no value" and is left blank.
% range    [lo hi] mapped to the ends of the colour map
% map      n-by-3 colour map
% heading  title, one line; names are shown as written (no TeX)
% labels   {x label, y label, colour bar label}
%
% ax       the panel's axes, for limits and ticks of the caller's own
%
% The axes keep the array's aspect ratio (square voxels) and the colour bar
% runs along their full height, so the panel is laid out by hand in the
% figure's PaperPosition (inches) rather than by subplot. Text takes the
% figure's DefaultAxesFontSize.
function ax = demo_panel (grid, k, x, y, values, range, map, heading, labels)
  paper = get (gcf (), 'PaperPosition');
  cell_w = paper(3) / grid(2);
  cell_h = paper(4) / grid(1);
  column = mod (k - 1, grid(2));
  row = floor ((k - 1) / grid(2));
  % room in inches for the y label, the colour bar with its label, the
  % title and the x label
  left = 0.7;
  right = 1.2;
  top = 0.45;
  bottom = 0.7;
  span = [x(end) - x(1), y(end) - y(1)] + [x(2) - x(1), y(2) - y(1)];
  scale = min ((cell_w - left - right) / span(1), (cell_h - top - bottom) / span(2));
  w = scale * span(1);
  h = scale * span(2);
  x0 = column * cell_w + left + (cell_w - left - right - w) / 2;
  y0 = (grid(1) - 1 - row) * cell_h + bottom + (cell_h - top - bottom - h) / 2;
  to_figure = @(p) p ./ [paper(3) paper(4) paper(3) paper(4)];

  ax = axes ('Position', to_figure ([x0 y0 w h]));
  imagesc (x, y, values.');
  axis xy;
  axis tight;
  caxis (range);
  colormap (ax, map);
  title (heading, 'Interpreter', 'none');
  xlabel (labels{1}, 'Interpreter', 'none');
  ylabel (labels{2}, 'Interpreter', 'none');
  bar = colorbar ();
  ylabel (bar, labels{3}, 'Interpreter', 'none');
  % Ticks on the labelled side only, pointing away from the bar: drawn
  % inwards, or mirrored on the image's side, they cross the colours and
  % stick out past the bar's corners.
  set (bar, 'TickDirection', 'out', 'Box', 'off');
  % colorbar shrinks its axes to make room: put both where they belong
  set (ax, 'Position', to_figure ([x0 y0 w h]));
  set (bar, 'Position', to_figure ([x0 + w + 0.15, y0, 0.2, h]));
end
