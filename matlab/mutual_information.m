function mi = mutual_information (joint, h1, h2, unit)
% mutual_information  Mutual information of two images from their joint histogram.
%
%   mi = mutual_information (joint, h1, h2)
%   mi = mutual_information (joint, h1, h2, unit)
%
%   The mutual information of the two images that jointbins_f64 or
%   jointbins_f32 binned, from the three histograms they return:
%
%     mi = sum over the cells with joint(i,j) > 0 of
%          joint(i,j) * log (joint(i,j) / (h1(i) * h2(j)))
%
%   Each histogram is first divided by its own sum, so counts work as well,
%   and samples that a NaN left out of the histograms (they still count in
%   jointbins' N) do not lower the result. 0 when the images are
%   independent, up to log (B) when one determines the other.
%
%   Inputs:
%     joint    B-by-B, non-negative: joint(i,j) for image1 in bin i and
%              image2 in bin j (the first output of jointbins_f64)
%     h1, h2   B elements each, non-negative: the histograms of image1
%              and image2 (its second and third output)
%     unit     'nats' (default, natural logarithm) or 'bits' (base 2)
%
%   Output: a double scalar; NaN when a histogram holds NaN (jointbins of
%   empty images).
%
%   Errors: identifier mutual_information:<condition>.
%     nrhs          not 3 or 4 inputs
%     badClass      joint, h1 or h2 is not a real double or single array
%     sizeMismatch  joint is not square, or h1 or h2 has not one element
%                   per row of joint
%     badHistogram  joint, h1 or h2 has a negative element or sums to 0
%                   (no samples): no mutual information is defined
%     badUnit       unit is neither 'nats' nor 'bits'
%
%   Example:
%     [joint, h1, h2] = jointbins_f64 ([1 6.5], [3 8], 0, 8, 4);
%     mutual_information (joint, h1, h2)           % log (2) = 0.6931
%     mutual_information (joint, h1, h2, 'bits')   % 1
%
%   See also jointbins_f64, jointbins_f32, Contents.
  if (nargin < 3 || nargin > 4)
    error ('mutual_information:nrhs', ...
           'three or four inputs are required: mutual_information (joint, h1, h2) or (joint, h1, h2, ''bits'')');
  end
  if (nargin < 4)
    unit = 'nats';
  end
  names = {'joint (input 1)', 'h1 (input 2)', 'h2 (input 3)'};
  inputs = {joint, h1, h2};
  for k = 1:3
    if (~(isa (inputs{k}, 'double') || isa (inputs{k}, 'single')) || ~isreal (inputs{k}))
      error ('mutual_information:badClass', '%s is %s; pass the real outputs of jointbins_f64 or jointbins_f32', ...
             names{k}, describe (inputs{k}));
    end
  end
  bins = size (joint, 1);
  if (ndims (joint) ~= 2 || size (joint, 2) ~= bins || numel (h1) ~= bins || numel (h2) ~= bins)
    error ('mutual_information:sizeMismatch', ...
           'joint (input 1) is %s, h1 (input 2) has %d and h2 (input 3) %d elements; pass the three outputs of one jointbins call (B-by-B, B and B)', ...
           strjoin (arrayfun (@num2str, size (joint), 'UniformOutput', false), 'x'), numel (h1), numel (h2));
  end
  if (ischar (unit) && strcmpi (unit, 'nats'))
    base = 1;
  elseif (ischar (unit) && strcmpi (unit, 'bits'))
    base = log (2);
  else
    error ('mutual_information:badUnit', 'unit (input 4) must be ''nats'' or ''bits''');
  end
  if (any (isnan ([double(joint(:)); double(h1(:)); double(h2(:))])))
    mi = NaN;
    return;
  end
  for k = 1:3
    h = double (inputs{k}(:));
    negative = sum (h < 0);
    if (negative > 0)
      error ('mutual_information:badHistogram', ...
             '%s has %d negative element%s (least %g); pass a histogram: counts or shares, none below 0', ...
             names{k}, negative, repmat ('s', 1, negative > 1), min (h));
    elseif (~(sum (h) > 0))
      error ('mutual_information:badHistogram', ...
             '%s sums to 0: it holds no sample; pass the histogram of images that hold samples', names{k});
    end
  end
  % each by its own sum: counts and shares alike
  p = double (joint) / sum (double (joint(:)));
  p1 = double (h1(:)) / sum (double (h1(:)));
  p2 = double (h2(:)) / sum (double (h2(:)));
  [i, j] = find (p > 0);
  cells = p(p > 0);
  mi = sum (cells .* log (cells ./ (p1(i) .* p2(j)))) / base;
end

function text = describe (value)
  if (isnumeric (value) && ~isreal (value))
    text = ['complex ' class(value)];
  else
    text = class (value);
  end
end
