% Bad inputs in Octave, the real host: every plug-in is fed wrong classes,
% complex and sparse arrays, empty and mismatched inputs and non-finite
% settings. Each call raises an error whose identifier names the plug-in and
% the condition, or gives the documented result, and the session goes on:
% after every refusal the plug-in still gives the same result for a valid
% call.

%!function [in, nout] = valid_call (name)
%!  % A small valid call of the plug-in, inputs in the plug-in's class.
%!  A = reshape (mod (0:59, 7) / 6, 5, 4, 3);
%!  switch (name)
%!    case {'remap_vol_f64', 'remap_vol_f32'}
%!      in = {A, 1 - A, A, 1 - A, [0 1], 8, ones(3, 3, 3), 2};
%!      nout = 2;
%!    case 'remap_plane_f64'
%!      P = A(:, :, 1);
%!      in = {P, 1 - P, P, 1 - P, [0 1], 8, ones(3, 3), 2};
%!      nout = 2;
%!    case {'dispinvert_vol_f64', 'dispinvert_vol_f32'}
%!      in = {A - 0.5, 0.25 * A, -A, ones(3, 3, 3)};
%!      nout = 3;
%!    case 'dispinvert_plane_f64'
%!      in = {A(:, :, 1) - 0.5, 0.25 * A(:, :, 1), ones(3, 3)};
%!      nout = 2;
%!    case {'dispinvert_refine_vol_f64', 'dispinvert_refine_vol_f32'}
%!      in = {0.2 * A, -0.1 * A, 0.1 * A, -0.2 * A, 0.1 * A, -0.1 * A, 3, 1e-3};
%!      nout = 5;
%!    case 'dispinvert_refine_plane_f64'
%!      P = A(:, :, 1);
%!      in = {0.2 * P, -0.1 * P, -0.2 * P, 0.1 * P, 3, 1e-3};
%!      nout = 4;
%!    otherwise  % jointbins_f64, jointbins_f32
%!      in = {A, 1 - A, 0, 1, 8};
%!      nout = 3;
%!  end
%!  if (strcmp (name(end-2:end), 'f32'))
%!    in = cellfun (@single, in, 'UniformOutput', false);
%!  end
%!endfunction

%!function [id, out] = try_call (name, in, nout)
%!  % The error identifier of the call ('' when it succeeds) and its outputs.
%!  id = '';
%!  out = cell (1, nout);
%!  try
%!    [out{:}] = feval (name, in{:});
%!  catch err
%!    id = err.identifier;
%!    % Octave puts "name: " before the text; the text itself names the
%!    % input and what was expected, not the plug-in again
%!    body = err.message;
%!    if (strncmp (body, [name ': '], numel (name) + 2))
%!      body = body(numel (name) + 3:end);
%!    end
%!    assert (! isempty (body), err.message);
%!    assert (isempty (strfind (body, name)), err.message);
%!  end
%!endfunction

%!function expect_error (name, in, nout, condition, what)
%!  id = try_call (name, in, nout);
%!  assert (id, [name ':' condition], sprintf ('%s, %s', name, what));
%!endfunction

%!shared plugins
%! plugins = {'remap_vol_f64', 'remap_vol_f32', 'remap_plane_f64', ...
%!            'dispinvert_vol_f64', 'dispinvert_vol_f32', 'dispinvert_plane_f64', ...
%!            'jointbins_f64', 'jointbins_f32', ...
%!            'dispinvert_refine_vol_f64', 'dispinvert_refine_vol_f32', 'dispinvert_refine_plane_f64'};

%!test
%! % Wrong classes, complex and sparse in every input slot of every plug-in.
%! for p = 1:numel (plugins)
%!   name = plugins{p};
%!   [in, nout] = valid_call (name);
%!   [id, good] = try_call (name, in, nout);
%!   assert (id, '', name);
%!   single_plugin = strcmp (name(end-2:end), 'f32');
%!   for slot = 1:numel (in)
%!     v = in{slot};
%!     if (single_plugin)
%!       swapped = double (v);
%!     else
%!       swapped = single (v);
%!     end
%!     bad = {swapped, 'single/double swapped'; int32(v), 'int32'; v > 0.5, 'logical';
%!            char(65 + 0 * v), 'char'; {v}, 'cell'; struct('v', v), 'struct';
%!            @sin, 'function handle'; uint8(v), 'uint8'};
%!     for k = 1:rows (bad)
%!       call = in;
%!       call{slot} = bad{k, 1};
%!       expect_error (name, call, nout, 'badClass', sprintf ('%s in input %d', bad{k, 2}, slot));
%!     end
%!     call = in;
%!     call{slot} = complex (v, ones (size (v), class (v)));
%!     expect_error (name, call, nout, 'complex', sprintf ('complex input %d', slot));
%!     call = in;
%!     call{slot} = sparse (double (v(:, :, 1)));
%!     expect_error (name, call, nout, 'sparse', sprintf ('sparse input %d', slot));
%!     call = in;
%!     call{slot} = sparse (v(:, :, 1) > 0.5);
%!     expect_error (name, call, nout, 'sparse', sprintf ('sparse logical input %d', slot));
%!   end
%!   % the session and the plug-in go on as before
%!   [id, again] = try_call (name, in, nout);
%!   assert (id, '', name);
%!   assert (isequal (again, good), name);
%! end

%!test
%! % Wrong argument counts: the input count first, then the output count.
%! messages = {'8 inputs are required.', '2 outputs are required'; ...
%!             '8 inputs are required.', '2 outputs are required'; ...
%!             '8 inputs are required.', '2 outputs are required'; ...
%!             'Four inputs are required.', 'Three outputs are required'; ...
%!             'Four inputs are required.', 'Three outputs are required'; ...
%!             'Three inputs are required.', 'Two outputs are required'; ...
%!             'five inputs are required.', 'Three outputs are required'; ...
%!             'five inputs are required.', 'Three outputs are required'; ...
%!             'Eight inputs are required.', 'Three to five outputs are required'; ...
%!             'Eight inputs are required.', 'Three to five outputs are required'; ...
%!             'Six inputs are required.', 'Two to four outputs are required'};
%! % the refinement plug-ins take the field alone or with the residual and
%! % the steps done: 2 fewer outputs are accepted too
%! fewest = [2 2 2 3 3 2 3 3 3 3 2];
%! for p = 1:numel (plugins)
%!   name = plugins{p};
%!   [in, nout] = valid_call (name);
%!   for call = {in(1:end-1), [in, {1}], {}}
%!     for n = [nout - 1, nout, nout + 1]
%!       try
%!         out = cell (1, n);
%!         [out{:}] = feval (name, call{1}{:});
%!         error ('accepted');
%!       catch err
%!         assert (err.identifier, [name ':nrhs']);
%!         assert (! isempty (strfind (err.message, messages{p, 1})), err.message);
%!       end
%!     end
%!   end
%!   for n = [0, fewest(p) - 1, nout + 1]
%!     try
%!       out = cell (1, n);
%!       [out{:}] = feval (name, in{:});
%!       error ('accepted');
%!     catch err
%!       assert (err.identifier, [name ':nlhs']);
%!       assert (! isempty (strfind (err.message, messages{p, 2})), err.message);
%!     end
%!   end
%! end

%!test
%! % Inputs smaller than the first one are refused; larger ones are read in
%! % part and accepted, a partner image or field component of another shape
%! % than the first with a warning, except by the refinement, whose field
%! % components must all have the grid of the first.
%! partners = {2:4, 2:4, 2:4, 2:3, 2:3, 2, 2, 2, 2:6, 2:6, 2:4};
%! for p = 1:numel (plugins)
%!   name = plugins{p};
%!   [in, nout] = valid_call (name);
%!   [~, good] = try_call (name, in, nout);
%!   warned = [name ':partnerShape'];
%!   for slot = partners{p}
%!     call = in;
%!     call{slot} = in{slot}(1:end-1);
%!     expect_error (name, call, nout, 'sizeMismatch', sprintf ('input %d one short', slot));
%!     call{slot} = [in{slot}(:); in{slot}(:)];
%!     if (strncmp (name, 'dispinvert_refine', 17))
%!       expect_error (name, call, nout, 'sizeMismatch', sprintf ('input %d longer', slot));
%!       call{slot} = permute (in{slot}, [2 1 3]);
%!       expect_error (name, call, nout, 'sizeMismatch', sprintf ('input %d transposed', slot));
%!       continue;
%!     end
%!     lastwarn ('');
%!     [id, out] = try_call (name, call, nout);
%!     [~, warning_id] = lastwarn ();
%!     assert (id, '', sprintf ('%s, input %d longer', name, slot));
%!     assert (isequal (out, good), sprintf ('%s, input %d longer', name, slot));
%!     assert (warning_id, warned, sprintf ('%s, input %d longer', name, slot));
%!   end
%! end

%!test
%! % Empty scalar settings are refused; an empty range is unusable.
%! for name = {'remap_vol_f64', 'remap_vol_f32', 'remap_plane_f64'}
%!   [in, nout] = valid_call (name{1});
%!   e = in{5}([]);
%!   call = in; call{5} = e;
%!   expect_error (name{1}, call, nout, 'badRange', 'empty range');
%!   call = in; call{5} = in{5}(1);
%!   expect_error (name{1}, call, nout, 'badRange', 'one-element range');
%!   call = in; call{6} = e;
%!   expect_error (name{1}, call, nout, 'empty', 'empty bins');
%!   call = in; call{8} = e;
%!   expect_error (name{1}, call, nout, 'empty', 'empty spacing');
%! end
%! for name = {'jointbins_f64', 'jointbins_f32'}
%!   [in, nout] = valid_call (name{1});
%!   for slot = 3:5
%!     call = in; call{slot} = in{slot}([]);
%!     expect_error (name{1}, call, nout, 'empty', sprintf ('empty input %d', slot));
%!   end
%! end

%!test
%! % Empty images, fields and windows are not errors: empty outputs of the
%! % input's shape, or outputs that nothing reached (with a warning, tested
%! % below).
%! warning ('off', 'remap_vol_f64:zeroWeights', 'local');
%! warning ('off', 'dispinvert_plane_f64:zeroKernel', 'local');
%! [a, b] = remap_vol_f64 (zeros (0, 4, 3), [], [], [], [0 1], 8, ones (3, 3, 3), 2);
%! assert (size (a), [0 4 3]);
%! assert (size (b), [0 4 3]);
%! [a, b] = remap_plane_f64 (zeros (5, 0), [], [], [], [0 1], 8, ones (3), 2);
%! assert (size (a), [5 0]);
%! % an empty window gathers nothing: every voxel maps to bin 0, min
%! [in, nout] = valid_call ('remap_vol_f64');
%! in{7} = [];
%! [a, b] = remap_vol_f64 (in{:});
%! assert (a, zeros (5, 4, 3));
%! assert (b, zeros (5, 4, 3));
%! [fx, fy, fz] = dispinvert_vol_f32 (single (zeros (3, 0, 2)), single ([]), single ([]), single (1));
%! assert (size (fx), [3 0 2]);
%! assert (class (fz), 'single');
%! % an empty kernel spreads no share: zero outputs
%! [in, nout] = valid_call ('dispinvert_plane_f64');
%! [fx, fy] = dispinvert_plane_f64 (in{1:2}, zeros (3, 0));
%! assert (fx, zeros (5, 4));
%! assert (fy, zeros (5, 4));
%! % no sample: 0 / 0 in every output
%! warning ('off', 'jointbins_f32:noSamples', 'local');
%! [j, h1, h2] = jointbins_f32 (single ([]), single ([]), single (0), single (1), single (2));
%! assert (size (j), [2 2]);
%! assert (all (isnan ([j(:); h1; h2])));

%!test
%! % Non-finite and unusable remapping settings.
%! for name = {'remap_vol_f64', 'remap_vol_f32', 'remap_plane_f64'}
%!   [in, nout] = valid_call (name{1});
%!   c = @(x) cast (x, class (in{1}));
%!   for range = {[NaN 1], [0 NaN], [-Inf 1], [0 Inf], [1 1], [1 0]}
%!     call = in; call{5} = c (range{1});
%!     expect_error (name{1}, call, nout, 'badRange', mat2str (range{1}));
%!   end
%!   for bins = [NaN, Inf, -Inf, 1, 0, -3, 2.5, 46341]
%!     call = in; call{6} = c (bins);
%!     expect_error (name{1}, call, nout, 'badBins', num2str (bins));
%!   end
%!   for spacing = [NaN, Inf, -Inf, 0, -1]
%!     call = in; call{8} = c (spacing);
%!     expect_error (name{1}, call, nout, 'badSpacing', num2str (spacing));
%!   end
%!   call = in; call{8} = c (1e-30);  % a block grid beyond 32 bits
%!   expect_error (name{1}, call, nout, 'badSpacing', 'tiny spacing');
%!   % finite bounds, max > min, but no usable scale from intensities to bins
%!   tiny = realmin (class (in{1})) * eps (class (in{1}));
%!   call = in; call{5} = [tiny, 2 * tiny];
%!   expect_error (name{1}, call, nout, 'badRange', 'denormal width');
%!   % a bin scale so small it is subnormal: the last bin would map beyond max
%!   call = in; call{5} = c ([-1, 1] * realmax (class (in{1})) / 2); call{6} = c (2);
%!   expect_error (name{1}, call, nout, 'badRange', 'subnormal scale');
%!   if (isa (in{1}, 'double'))  % max - min overflows (single bounds are subtracted in double)
%!     call = in; call{5} = [-1, 1] * realmax / 1.5;
%!     expect_error (name{1}, call, nout, 'badRange', 'width beyond realmax');
%!   end
%! end

%!test
%! % An image or window whose later extent 0 leaves it without the elements
%! % its leading extents promise is refused, not read.
%! [in, nout] = valid_call ('remap_plane_f64');
%! call = in; call{1} = zeros (5, 4, 0);
%! expect_error ('remap_plane_f64', call, nout, 'sizeMismatch', 'image 5x4x0');
%! call = in; call{7} = zeros (3, 3, 0);
%! expect_error ('remap_plane_f64', call, nout, 'sizeMismatch', 'window 3x3x0');
%! for name = {'remap_vol_f64', 'remap_vol_f32'}
%!   [in, nout] = valid_call (name{1});
%!   call = in; call{1} = zeros (5, 4, 3, 0, class (in{1}));
%!   expect_error (name{1}, call, nout, 'sizeMismatch', 'image 5x4x3x0');
%!   call = in; call{7} = zeros (3, 3, 3, 0, class (in{1}));
%!   expect_error (name{1}, call, nout, 'sizeMismatch', 'window 3x3x3x0');
%! end
%! [in, nout] = valid_call ('dispinvert_plane_f64');
%! call = in; call{3} = zeros (3, 3, 0);
%! expect_error ('dispinvert_plane_f64', call, nout, 'sizeMismatch', 'kernel 3x3x0');

%!test
%! % An extent of 2^31 - 1 fits in 32 bits (another extent 0 leaves nothing
%! % to read); one more does not, where the host's sizes can carry it.
%! if (sizemax () > intmax ('int32'))
%!   warning ('off', 'jointbins_f64:noSamples', 'local');
%!   warning ('off', 'jointbins_f32:noSamples', 'local');
%!   for p = 1:numel (plugins)
%!     [in, nout] = valid_call (plugins{p});
%!     % the refinement's field components all have the grid of the first
%!     fields = 1 + (strncmp (plugins{p}, 'dispinvert_refine', 17)) * (numel (in) - 3);
%!     call = in; call(1:fields) = {zeros(2^31 - 1, 0, class (in{1}))};
%!     assert (try_call (plugins{p}, call, nout), '', plugins{p});
%!     call(1:fields) = {zeros(2^31, 0, class (in{1}))};
%!     expect_error (plugins{p}, call, nout, 'tooLarge', 'extent 2^31');
%!   end
%! end

%!test
%! % Remapping: NaN and out-of-range image values, and NaN window weights,
%! % are mapped, not refused; a NaN voxel maps to NaN.
%! [in, nout] = valid_call ('remap_vol_f64');
%! in{1}(1) = NaN; in{1}(2) = Inf; in{1}(3) = -1e300; in{2}(4) = NaN;
%! in{3}(5) = Inf; in{4}(6) = -Inf; in{7}(2) = NaN;
%! [a, b] = remap_vol_f64 (in{:});
%! assert (isnan (a(1)) && isnan (b(4)));
%! rest = [a(2:end), b([1:3, 5:end])];
%! assert (all (rest >= 0 & rest <= 1));

%!test
%! % Joint histogram: non-finite bin counts are refused; bounds are used as
%! % given (a NaN position counts in N but adds nothing), with a warning.
%! for name = {'jointbins_f64', 'jointbins_f32'}
%!   warning ('off', [name{1} ':equalBounds'], 'local');
%!   warning ('off', [name{1} ':nonFiniteBounds'], 'local');
%!   [in, nout] = valid_call (name{1});
%!   c = @(x) cast (x, class (in{1}));
%!   for bins = [NaN, Inf, -Inf, 0.99, 0, -1, 46341]
%!     call = in; call{5} = c (bins);
%!     expect_error (name{1}, call, nout, 'badBins', num2str (bins));
%!   end
%!   % L = U: positions -Inf, NaN and +Inf
%!   [j, h1, h2] = feval (name{1}, c ([0 1 2]), c ([0 1 2]), c (1), c (1), c (4));
%!   assert (h1, c ([1; 0; 0; 1] / 3));
%!   assert (sum (j(:)), c (2 / 3), eps (c (1)));
%!   % a NaN bound: every position NaN, nothing counted
%!   [j, h1, h2] = feval (name{1}, in{1:2}, c (NaN), in{4:5});
%!   assert (all ([j(:); h1; h2] == 0));
%!   % an infinite upper bound: scale 0, every sample in bin 0
%!   [j, h1, h2] = feval (name{1}, in{1:3}, c (Inf), in{5});
%!   assert (h1, c ([1; zeros(7, 1)]));
%!   assert (j(1), c (1));
%! end

%!test
%! % Field inversion: a sample with a NaN or infinite displacement, or one
%! % that carries it beyond the int32 range, contributes nothing, exactly as
%! % one carried far outside the grid; a NaN kernel element gives NaN.
%! for name = {'dispinvert_vol_f64', 'dispinvert_vol_f32', 'dispinvert_plane_f64'}
%!   [in, nout] = valid_call (name{1});
%!   c = @(x) cast (x, class (in{1}));
%!   far = in;
%!   far{1}(7) = c (1e6);
%!   [~, expected] = try_call (name{1}, far, nout);
%!   for value = [NaN, Inf, -Inf, 3e9, -3e9]
%!     call = in;
%!     call{1}(7) = c (value);
%!     [id, out] = try_call (name{1}, call, nout);
%!     assert (id, '', num2str (value));
%!     assert (isequal (out, expected), sprintf ('%s, displacement %g', name{1}, value));
%!   end
%!   call = in;
%!   call{end}(1) = c (NaN);
%!   [id, out] = try_call (name{1}, call, nout);
%!   assert (id, '');
%!   assert (any (isnan (out{1}(:))));
%! end

%!function for_python (file, name, in, out, condition, message)
%!  % The Python suite makes the same calls (tests/python/test_bad_inputs.py)
%!  % where Python can pass the same inputs: arrays of the plug-in's class.
%!  % Scalars are numbers there and other classes TypeErrors of its own.
%!  if (all (cellfun (@(a) isa (a, class (in{1})) && isreal (a) && ! issparse (a), in)))
%!    dir = fullfile (getenv ('REGKERN_SHARED_CASES'), 'octave_refusals');
%!    mkdir (dir);
%!    write_shared_case (fullfile (dir, [file '.case']), name, in, out, condition, message);
%!  end
%!endfunction

%!function same = same_bits (a, b)
%!  % Outputs (cell arrays of arrays) equal bit for bit, NaN payloads and
%!  % signed zeros included.
%!  same = isequal (size (a), size (b));
%!  for k = 1:numel (a)
%!    same = same && strcmp (class (a{k}), class (b{k})) && isequal (size (a{k}), size (b{k}));
%!    if (isa (a{k}, 'single'))
%!      same = same && isequal (typecast (a{k}(:), 'uint32'), typecast (b{k}(:), 'uint32'));
%!    else
%!      same = same && isequal (typecast (a{k}(:), 'uint64'), typecast (b{k}(:), 'uint64'));
%!    end
%!  end
%!endfunction

%!function out = quiet_call (name, in, nout)
%!  % The outputs of a call, its warnings kept off the test log.
%!  out = cell (1, nout);
%!  evalc ('[out{:}] = feval (name, in{:});');
%!endfunction

%!test
%! % The message names the input as the plug-in's help does, says what the
%! % call passed and how to fix the call: one call per kind of mistake.
%! A = ones (4, 3, 2);
%! r = {A, A, A, A, [0 1], 8, ones(3, 3, 3), 2};
%! f = cellfun (@single, r, 'UniformOutput', false);
%! d = {ones(2, 2, 2), ones(2, 2, 2), ones(2, 2, 2), 1};
%! all_single = ': every input, scalars included, must be single';
%! checks = {
%!   'jointbins_f32', {single(1), single(2), 0, single(8), single(32)}, 'badClass', ...
%!     ['lower (input 3) is double; pass single(0)' all_single];
%!   'remap_vol_f32', [f(1:5), {32}, f(7:8)], 'badClass', ['bins (input 6) is double; pass single(32)' all_single];
%!   'jointbins_f64', {1, 2, 0, 8, int32(32)}, 'badClass', 'bins (input 5) is int32; pass double(bins)';
%!   'remap_vol_f64', [r(1:6), {{1}}, r(8)], 'badClass', 'weights (input 7) is a cell array; pass a real double array';
%!   'remap_vol_f64', [{A + 1i}, r(2:8)], 'complex', 'A (input 1) is complex double; pass real(A)';
%!   'dispinvert_vol_f32', {single(d{1}), single(d{2}), sparse(d{3}(:, :, 1) > 0), single(1)}, 'sparse', ...
%!     ['bz (input 3) is sparse logical; pass single(full(bz))' all_single];
%!   'remap_plane_f64', [r(1:5), {[]}, r(7:8)], 'empty', 'bins (input 6) is empty; pass a whole number from 2 to 46340';
%!   'dispinvert_vol_f64', [d(1), {ones(2, 2)}, d(3:4)], 'sizeMismatch', ...
%!     'by (input 2) has 4 elements; pass at least 8, one per point of the grid of bx (input 1)';
%!   'remap_vol_f64', [{zeros(4, 3, 2, 0)}, r(2:8)], 'sizeMismatch', ...
%!     'A (input 1) is 4x3x2x0 and holds 0 elements, not the 24 its first three extents give; pass a 4x3x2 array';
%!   'remap_plane_f64', [r(1:4), {[1 0]}, r(6:8)], 'badRange', 'range (input 5) is [1 0]; pass finite bounds [min max] with max > min';
%!   'remap_vol_f64', [r(1:7), {-1}], 'badSpacing', 'spacing (input 8) is -1; pass a finite block edge greater than 0';
%!   'jointbins_f64', {1, 2, 0, 8, 46341}, 'badBins', ...
%!     'bins (input 5) is 46341; pass a value below 46341, so that bins x bins cells fit in 32-bit indices';
%!   'dispinvert_plane_f64', {1, 1, zeros(65536, 65536, 0)}, 'tooLarge', ...
%!     'H (input 3) is 65536x65536x0: its first two extents give more than 2^31 - 1 elements; pass a smaller array';
%!   'dispinvert_refine_plane_f64', {1, 1, 1, 1, 2.5, 0}, 'badSteps', 'steps (input 5) is 2.5; pass a whole number from 0 to 1000';
%!   'dispinvert_refine_vol_f32', {single(1), single(1), single(1), single(1), single(1), single(1), single(4), single(NaN)}, 'badTolerance', ...
%!     'tol (input 8) is NaN; pass a finite tolerance of at least 0 (in voxels), e.g. 1e-4';
%!   'dispinvert_refine_vol_f64', [d(1:3), {d{1}, d{2}, ones(2, 2)}, {3, 0}], 'sizeMismatch', ...
%!     'Fz0 (input 6) is 2x2; pass a 2x2x2 array, the grid of bx (input 1)'};
%! for k = 1:rows (checks)
%!   [name, in, condition, body] = checks{k, :};
%!   try
%!     out = cell (1, 3 - strncmp (name, 'remap', 5) - strcmp (name, 'dispinvert_plane_f64') ...
%!                 - strcmp (name, 'dispinvert_refine_plane_f64'));
%!     [out{:}] = feval (name, in{:});
%!     error ('accepted: %s', body);
%!   catch err
%!     assert (err.identifier, [name ':' condition]);
%!     assert (err.message, [name ': ' body]);
%!   end
%!   for_python (sprintf ('refused_%02d', k), name, in, {}, condition, body);
%! end

%!test
%! % Calls that can only be a mistake are carried out with a warning whose
%! % identifier names the plug-in and the condition. The results are those of
%! % the same call with that warning off, bit for bit; a warning turned into
%! % an error fails the call and leaves the session and the plug-in working.
%! P = reshape (mod (0:19, 7) / 6, 5, 4);
%! r = {P, 1 - P, P, 1 - P, [0 1], 8, zeros(3, 3), 2};
%! no_spread = ': no share is spread and every output is 0; pass a kernel with a nonzero element, e.g. 1 (no spreading)';
%! not_finite = ': every sample adds nothing or all land in one bin; pass finite bounds, e.g. the least and greatest intensity';
%! cases = {
%!   'remap_plane_f64', r, 'zeroWeights', ...
%!     'weights (input 7) is all zero: nothing is gathered and every pixel maps to min; pass weights with a nonzero element, e.g. ones(9, 9)';
%!   'remap_vol_f32', cellfun(@single, [r(1:6), {zeros(3, 0, 3)}, r(8)], 'UniformOutput', false), 'zeroWeights', ...
%!     'weights (input 7) is empty (3x0x3): nothing is gathered and every voxel maps to min; pass weights with a nonzero element, e.g. ones(9, 9, 9)';
%!   'remap_plane_f64', [{cat(3, P, P)}, r(2:6), {ones(3)}, r(8)], 'extraSlices', ...
%!     'A (input 1) has more than one slice: only the first is used; pass a 2-D array (the volume plug-ins take volumes)';
%!   'dispinvert_vol_f64', {P, P, P, zeros(2, 2, 2)}, 'zeroKernel', ['H (input 4) is all zero' no_spread];
%!   'dispinvert_plane_f64', {P, P, zeros(0, 3)}, 'zeroKernel', ['H (input 3) is empty (0x3)' no_spread];
%!   'dispinvert_plane_f64', {cat(3, P, P), P, 1}, 'extraSlices', ...
%!     'bx (input 1) has more than one slice: only the first is used; pass a 2-D array (the volume plug-ins take volumes)';
%!   'jointbins_f64', {P, 1 - P, NaN, 1, 8}, 'nonFiniteBounds', ['lower (input 3) is NaN' not_finite];
%!   'jointbins_f32', {single(P), single(1 - P), single(0), single(Inf), single(8)}, 'nonFiniteBounds', ...
%!     ['upper (input 4) is Inf' not_finite];
%!   'jointbins_f64', {P, 1 - P, 0.5, 0.5, 8}, 'equalBounds', ...
%!     'lower (input 3) and upper (input 4) are both 0.5: every sample lands in an edge bin or adds nothing; pass upper > lower';
%!   'dispinvert_refine_plane_f64', {0.3 * P, -0.2 * P, 0 * P, 0 * P, 1, 1e-9}, 'notConverged', ...
%!     'after 1 step the largest residual |F(q) + b(q + F(q))| is 0.0421 pixel, above tol (input 6) = 1e-09; pass more steps or a larger tolerance';
%!   'dispinvert_refine_vol_f64', {cat(4, P, P), P, P, P, P, P, 0, 1}, 'extraSlices', ...
%!     'bx (input 1) has more than one volume: only the first is used; pass a 3-D array';
%!   'jointbins_f64', {P, 1 - P, 1, 0, 8}, 'reversedBounds', ...
%!     'lower (input 3) is 1 and upper (input 4) is 0: the bins run downwards and the histograms come out mirrored; pass lower < upper (swap them)';
%!   'jointbins_f32', {single(zeros (0, 3)), single([]), single(0), single(1), single(8)}, 'noSamples', ...
%!     'image1 (input 1) is empty (0x3): there are no samples, and every output is NaN (0/0); pass images that hold samples';
%!   % images of integer intensities against [0 1] (double (imread (...))),
%!   % with a background at 0 that is in range
%!   'remap_plane_f64', [{round(255 * P)}, r(2:6), {ones(3)}, r(8)], 'outOfRange', ...
%!     ['A (input 1) has 85 % of its finite values (0 to 255) outside range (input 5), [0 1], where they count in the edge bins; ' ...
%!      'scale the images to it (im2double(A) for integer intensities, e.g. from imread) or pass an interval that spans them, [0 255]'];
%!   % images below the range: the fix's interval has a negative end
%!   'remap_plane_f64', [{P - 3}, r(2:6), {ones(3)}, r(8)], 'outOfRange', ...
%!     ['A (input 1) has 100 % of its finite values (-3 to -2) outside range (input 5), [0 1], where they count in the edge bins; ' ...
%!      'scale the images to it (im2double(A) for integer intensities, e.g. from imread) or pass an interval that spans them, [-3 1]'];
%!   'jointbins_f32', {single(P), single(3 * P - 1), single(0), single(1), single(8)}, 'outOfBounds', ...
%!     ['image2 (input 2) has 55 % of its finite values (-1 to 2) outside [lower, upper] = [0, 1], where they count in the edge bins; ' ...
%!      'scale the images to it (single(im2double(image2)) for integer intensities, e.g. from imread) or pass an interval that spans them, lower = -1, upper = 2'];
%!   'remap_vol_f64', {P, P', P, P, [0 1], 8, ones(3), 2}, 'partnerShape', ...
%!     ['B (input 2) is 4x5 but A (input 1) is 5x4: its elements pair with A''s in column-major order, so the images do not line up; ' ...
%!      'pass it with the extents of A (a transposed image: its transpose)'];
%!   'jointbins_f64', {P, [P(:); P(:)], 0, 1, 8}, 'partnerShape', ...
%!     ['image2 (input 2) is 40x1 but image1 (input 1) is 5x4: its elements pair with image1''s in column-major order, so the images do not line up; ' ...
%!      'pass it with the extents of image1 (a transposed image: its transpose)'];
%!   'dispinvert_plane_f64', {P, P', 1}, 'partnerShape', ...
%!     ['by (input 2) is 4x5 but bx (input 1) is 5x4: its elements pair with bx''s in column-major order, so the components do not line up; ' ...
%!      'pass it with the extents of bx (a transposed component: its transpose)'];
%!   % one image on another scale than the others, and images in [0 1]
%!   % against bounds for 0..255
%!   'remap_plane_f64', [r(1:3), {0.5 + 0.01 * P}, r(5:6), {ones(3)}, r(8)], 'narrowData', ...
%!     ['D (input 4) spans 1 % of range (input 5), [0 1] (values from 0.5 to 0.51): its samples fall in a sliver of the bins ' ...
%!      'and the results are nearly constant; scale it to the interval'];
%!   'jointbins_f64', {P, 1 - P, 0, 255, 8}, 'narrowData', ...
%!     ['image1 (input 1) spans 0.39 % of [lower, upper] = [0, 255] (values from 0 to 1) and image2 (input 2) 0.39 % (0 to 1): ' ...
%!      'their samples fall in a sliver of the bins and the results are nearly constant; pass bounds that fit the images, ' ...
%!      'lower = 0, upper = 1, or scale the images to the interval'];
%!   'jointbins_f32', {single(P), single(1 - P), single(0), single(1), single(1100)}, 'manyBins', ...
%!     ['bins (input 5) is 1100: its 1100 x 1100 cells outnumber the 20 samples 60500 to 1, so nearly every cell stays empty ' ...
%!      'while the outputs take 4.8 MB; pass fewer bins, at most 4 (no more cells than samples)']};
%! for k = 1:rows (cases)
%!   [name, in, condition, body] = cases{k, :};
%!   [valid, nout] = valid_call (name);
%!   id = [name ':' condition];
%!   unwind_protect
%!     lastwarn ('');
%!     warned = quiet_call (name, in, nout);
%!     [message, warned_id] = lastwarn ();
%!     assert (warned_id, id);
%!     assert (message, [name ': ' body]);
%!     warning ('off', id);
%!     lastwarn ('');
%!     assert (same_bits (quiet_call (name, in, nout), warned), id);
%!     assert (lastwarn (), '');
%!     warning ('error', id);
%!     assert (try_call (name, in, nout), id);
%!   unwind_protect_cleanup
%!     warning ('on', id);
%!   end_unwind_protect
%!   for_python (sprintf ('warned_%02d', k), name, in, warned, condition, body);
%!   % valid calls do not warn
%!   lastwarn ('');
%!   [~, good] = try_call (name, valid, nout);
%!   assert (lastwarn (), '', name);
%! end

%!function invert_field_for_python (file, in, out, condition, message)
%!  % invert_field's calls for the Python suite: b's components, then the
%!  % option values, their names after the function's in the case's name
%!  % ("invert_field tolerance steps"); F's components and info (as a row:
%!  % steps, max_residual, mean_residual, converged, unrefined) the outputs.
%!  % (an unknown name is Python's own TypeError for an unknown keyword)
%!  if (numel (in) < 1 || ! iscell (in{1}) || strcmp (condition, 'badOption'))
%!    return;
%!  end
%!  names = in(2:2:end);
%!  values = in(3:2:end);
%!  arrays = [in{1}, values];
%!  if (all (cellfun (@(a) isa (a, class (in{1}{1})) && isreal (a) && ! issparse (a), arrays)) ...
%!      && all (cellfun (@ischar, names)))
%!    dir = fullfile (getenv ('REGKERN_SHARED_CASES'), 'octave_refusals');
%!    mkdir (dir);
%!    write_shared_case (fullfile (dir, [file '.case']), ...
%!                       strjoin ([{'invert_field'}, lower(names)], ' '), arrays, out, condition, message);
%!  end
%!endfunction

%!test
%! % invert_field: every option is checked before any work, and the message
%! % names it as the caller writes it (names in any case); a call that
%! % leaves points unrefined warns and is not converged.
%! P = reshape (mod (0:19, 7) / 60, 5, 4);
%! pass_one = '; pass one, a finite tolerance of at least 0, e.g. 1e-4';
%! refused = {
%!   {}, 'notEnoughInputs', 'invert_field needs the backward field b, a cell {bx, by, bz} or {bx, by}: F = invert_field (b)';
%!   {{P, single(P)}}, 'badField', 'b must be a cell {bx, by, bz} or {bx, by} of real arrays, all double or all single';
%!   {{P, P}, 'tolerance', [1e-4 1e-3]}, 'badTolerance', ['tolerance holds 2 values' pass_one];
%!   {{P, P}, 'TOLERANCE', NaN}, 'badTolerance', 'tolerance is NaN; pass a finite tolerance of at least 0 (in pixels), e.g. 1e-4';
%!   {{P, P}, 'tolerance', 'abc'}, 'badClass', 'tolerance is char; pass a number, e.g. 1e-4';
%!   {{P, P, P}, 'Steps', 2.5}, 'badSteps', 'steps is 2.5; pass a whole number from 0 to 1000';
%!   {{P, P}, 'steps', []}, 'empty', 'steps is empty; pass a whole number from 0 to 1000';
%!   {{P, P}, 'method', 'quick'}, 'badMethod', 'method is ''quick''; pass ''newton'' or ''fixed''';
%!   {{P, P}, 'threads', 0}, 'badThreads', 'threads is 0; pass a whole number of at least 1';
%!   {{P, P}, 'threads', '2'}, 'badClass', 'threads is char; pass a number, e.g. 2';
%!   {{single(P), single(P)}, 'threads', 1.5}, 'badThreads', 'threads is 1.5; pass a whole number of at least 1';
%!   {{P, P}, 'kernal', 1}, 'badOption', 'unknown option ''kernal''; pass ''kernel'', ''steps'', ''tolerance'', ''method'' or ''threads''';
%!   {{P, P}, 'steps'}, 'badOption', 'options come in name, value pairs: ''kernel'', ''steps'', ''tolerance'', ''method'' or ''threads''';
%!   {{P, P'}}, 'sizeMismatch', 'by is 4x5; pass a 5x4 array, the grid of bx';
%!   {{P, P}, 'kernel', 1 + 1i}, 'complex', 'kernel is complex double; pass real(kernel)'};
%! for k = 1:rows (refused)
%!   [in, condition, body] = refused{k, :};
%!   try
%!     [F, info] = invert_field (in{:});
%!     error ('accepted: %s', body);
%!   catch err
%!     assert (err.identifier, ['invert_field:' condition]);
%!     assert (err.message, ['invert_field: ' body]);
%!   end
%!   invert_field_for_python (sprintf ('invert_field_refused_%02d', k), in, {}, condition, body);
%! end
%! % unrefined points: named, and the field is not converged; the mean is
%! % over the finite residuals
%! b = {P, P};
%! b{1}(3, 2) = NaN;
%! id = 'invert_field:unrefined';
%! lastwarn ('');
%! [F, info] = invert_field (b);
%! [message, warned] = lastwarn ();
%! assert (warned, id);
%! % (Octave puts the compiled call's name before a warning's message)
%! assert (message, ['invert_field_plane_f64: 6 of 20 grid pixels were not refined (their residual is not finite): 6 read ' ...
%!                   'a NaN or infinite value of b at q + F(q); they keep the splat''s value and ' ...
%!                   'converged is false; replace the non-finite values of b (e.g. by 0) to refine them']);
%! assert ([info.unrefined, info.converged, isfinite(info.mean_residual)], [6 0 1]);
%! assert (info.max_residual <= 1e-4);
%! summary = [info.steps, info.max_residual, info.mean_residual, info.converged, info.unrefined];
%! invert_field_for_python ('invert_field_warned_01', {b}, [F, {summary}], 'unrefined', message(25:end));
%! warning ('off', id, 'local');
%! [F, info] = invert_field ({nan(8), zeros(8)});
%! assert ([info.steps, info.unrefined, info.converged], [0 64 0]);
%! assert (isnan (info.mean_residual));

%!error id=remap_vol_f64:badClass [a, b] = remap_vol_f64 ({1}, 1, 1, 1, [0 1], 8, 1, 2)
%!error id=remap_vol_f32:badClass [a, b] = remap_vol_f32 (single (1), single (1), single (1), single (1), [0 1], single (8), single (1), single (2))
%!error id=remap_plane_f64:complex [a, b] = remap_plane_f64 (1, 1, 1, 1, [0 1], 8, 1, 2 + 1i)
%!error id=dispinvert_vol_f64:badClass [x, y, z] = dispinvert_vol_f64 (struct (), 1, 1, 1)
%!error id=dispinvert_plane_f64:sparse [x, y] = dispinvert_plane_f64 (1, 1, speye (3))
%!error id=jointbins_f32:badClass [j, h1, h2] = jointbins_f32 ('ab', single ([1 2]), single (0), single (1), single (4))
%!error id=jointbins_f64:badBins [j, h1, h2] = jointbins_f64 (1, 1, 0, 1, NaN)
