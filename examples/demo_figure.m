% demo_figure  An invisible figure of the given size, ready to be printed to PNG.
%
%   f = demo_figure (width, height)
%
% width and height are in inches; "print (f, '-dpng', '-r100', file)" then
% writes a PNG of 100*width by 100*height pixels. No display is needed: in
% Octave the figure is drawn by gnuplot where gnuplot is available (octave-cli
% without a display has no other plotting system), in MATLAB by its own.
function f = demo_figure (width, height)
  octave = exist ('OCTAVE_VERSION', 'builtin');
  if (octave)
    % gnuplot warns when it is first loaded that other toolkits are preferred
    % for interactive work; for printing without a display it is the one to use.
    state = warning ('off', 'Octave:gnuplot-graphics');
  end
  f = figure ('visible', 'off');
  if (octave)
    if (any (strcmp (available_graphics_toolkits (), 'gnuplot')))
      graphics_toolkit (f, 'gnuplot');
    end
    warning (state);
  end
  % InvertHardcopy off: printing keeps the colours set here (an axes colour
  % would otherwise turn white).
  set (f, 'PaperUnits', 'inches', 'PaperPosition', [0 0 width height], 'Color', 'w', 'InvertHardcopy', 'off');
end
