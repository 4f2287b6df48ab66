% demo_text  Draw a line of text into an RGB image with a 5x7 bitmap font.
%
%   rgb = demo_text (rgb, str, row, col, scale, colour)
%
% The demo writes its figures with imwrite on machines without a display,
% so it cannot use the plotting system's text. Letters are drawn in upper
% case; characters without a glyph are left blank. (row, col) is the top
% left corner of the first glyph; each glyph is 6*scale pixels wide.
function rgb = demo_text (rgb, str, row, col, scale, colour)
  if (nargin < 6)
    colour = [1 1 1];
  end
  persistent glyphs
  if (isempty (glyphs))
    glyphs = font_table ();
  end
  str = upper (str);
  [height, width, ~] = size (rgb);
  for k = 1:numel (str)
    code = double (str(k));
    left = col + (k - 1) * 6 * scale;
    if (code > numel (glyphs) || isempty (glyphs{code}))
      continue;
    end
    rows = glyphs{code};
    for r = 1:7
      for c = 1:5
        if (bitand (rows(r), bitshift (1, 5 - c)))
          y = row + (r - 1) * scale + (0:scale - 1);
          x = left + (c - 1) * scale + (0:scale - 1);
          y = y(y >= 1 & y <= height);
          x = x(x >= 1 & x <= width);
          for channel = 1:3
            rgb(y, x, channel) = colour(channel);
          end
        end
      end
    end
  end
end

function glyphs = font_table ()
  % Seven rows of five bits per glyph, the high bit on the left.
  table = {
    'A', [14 17 17 17 31 17 17];  'B', [30 17 17 30 17 17 30];
    'C', [14 17 16 16 16 17 14];  'D', [28 18 17 17 17 18 28];
    'E', [31 16 16 30 16 16 31];  'F', [31 16 16 30 16 16 16];
    'G', [14 17 16 23 17 17 15];  'H', [17 17 17 31 17 17 17];
    'I', [14  4  4  4  4  4 14];  'J', [ 7  2  2  2  2 18 12];
    'K', [17 18 20 24 20 18 17];  'L', [16 16 16 16 16 16 31];
    'M', [17 27 21 21 17 17 17];  'N', [17 17 25 21 19 17 17];
    'O', [14 17 17 17 17 17 14];  'P', [30 17 17 30 16 16 16];
    'Q', [14 17 17 17 21 18 13];  'R', [30 17 17 30 20 18 17];
    'S', [15 16 16 14  1  1 30];  'T', [31  4  4  4  4  4  4];
    'U', [17 17 17 17 17 17 14];  'V', [17 17 17 17 17 10  4];
    'W', [17 17 17 21 21 21 10];  'X', [17 17 10  4 10 17 17];
    'Y', [17 17 17 10  4  4  4];  'Z', [31  1  2  4  8 16 31];
    '0', [14 17 19 21 25 17 14];  '1', [ 4 12  4  4  4  4 14];
    '2', [14 17  1  2  4  8 31];  '3', [31  2  4  2  1 17 14];
    '4', [ 2  6 10 18 31  2  2];  '5', [31 16 30  1  1 17 14];
    '6', [ 6  8 16 30 17 17 14];  '7', [31  1  2  4  8  8  8];
    '8', [14 17 17 14 17 17 14];  '9', [14 17 17 15  1  2 12];
    '.', [ 0  0  0  0  0 12 12];  ',', [ 0  0  0  0 12  4  8];
    '-', [ 0  0  0 31  0  0  0];  ':', [ 0 12 12  0 12 12  0];
    '(', [ 2  4  8  8  8  4  2];  ')', [ 8  4  2  2  2  4  8];
    '/', [ 0  1  2  4  8 16  0];  '=', [ 0  0 31  0 31  0  0];
    '+', [ 0  4  4 31  4  4  0];  '_', [ 0  0  0  0  0  0 31];
    '|', [ 4  4  4  4  4  4  4];  '%', [24 25  2  4  8 19  3];
    '>', [ 8  4  2  1  2  4  8];  '<', [ 2  4  8 16  8  4  2];
    '^', [ 4 10 17  0  0  0  0];  '''', [ 4  4  8  0  0  0  0]};
  glyphs = cell (1, 127);
  for k = 1:size (table, 1)
    glyphs{double (table{k, 1})} = table{k, 2};
  end
end
