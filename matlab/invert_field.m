function [F, info] = invert_field (b, varargin)
% invert_field  Inverse of a backward displacement field in one call: splat, then refine.
%
%   F = invert_field (b)
%   [F, info] = invert_field (b, 'kernel', H, 'steps', n, 'tolerance', tol, ...
%                             'method', 'newton', 'threads', t)
%
%   Gives the forward field F of the backward field b: the field with
%   q + F(q) + b(q + F(q)) = q at every grid point q, so that F undoes the
%   map p -> p + b(p). A splat (dispinvert_vol_f64 and its kin) gives a
%   first F, accurate to about a tenth of a voxel where b is smooth; the
%   refinement then repeats its step (Newton's by default, or the fixed
%   point of dispinvert_refine_vol_f64: 'method') until the largest residual
%
%     r(q) = |F(q) + b(q + F(q))|   (Euclidean, in voxels)
%
%   is at most the tolerance, or the steps run out. Splat, refinement and
%   the residual's statistics are one compiled call (invert_field_vol_f64
%   and its kin), with no array made in between; it gives the same bits
%   for every thread count, and the same F and info as Python's
%   regkern.invert_field.
%
%   Fields are cells of components, {bx, by, bz} for a volume and {bx, by}
%   for a plane, each component an array on the grid (x along the first
%   dimension, y the second, z the third), in voxels, all of class double or
%   all single. F has the same form and class. A single-precision plane is
%   refined as a volume one slice deep.
%
%   Options (name, value pairs; names in any case, 'Steps' or 'STEPS'):
%     'kernel'     the splatting kernel H (default 1: no spreading); see
%                  help dispinvert_vol_f64.
%     'steps'      the most refinement steps, 0 to 1000 (default 20). 0
%                  returns the splat and its residual.
%     'tolerance'  the largest residual to stop at, in voxels (default
%                  1e-4).
%     'method'     the refinement's step: 'newton' (default), Newton's
%                  step F <- F - (I + grad b)^-1 (F + b(q + F)), the plain
%                  step where I + grad b nearly folds; or 'fixed', the fixed
%                  point F(q) <- -b(q + F(q)) of dispinvert_refine_vol_f64,
%                  bit for bit what that plug-in gives after the splat.
%     'threads'    worker threads (default maxNumCompThreads); the result
%                  does not depend on it.
%
%   info is a struct:
%     steps          the refinement steps taken
%     max_residual   the largest finite r of F (0 when none is finite)
%     mean_residual  the mean of the finite r of F, summed in grid order
%                    (NaN when none is finite)
%     converged      true when max_residual is at most the tolerance and
%                    every point was refined (unrefined is 0)
%     unrefined      grid points whose r is not finite (b or F NaN or
%                    infinite there): they keep the splat's value, and
%                    invert_field warns (invert_field:unrefined)
%
%   Where b is smooth (it changes by less than a voxel per voxel) a fixed-
%   point step shrinks the residual by about the slope of b, and a Newton
%   step squares it; on the bench's 128x128x96 field with displacements up
%   to 4 voxels (bench/inverse_bench.m), tolerance 1e-4 takes 3 Newton steps
%   or 5 fixed-point steps, in about the same time. Where b folds (p + b(p)
%   is not one-to-one) no inverse exists: the residual grows and
%   invert_field warns (invert_field:notConverged).
%
%   Errors: identifier invert_field:<condition>, raised before any work.
%     notEnoughInputs  no b
%     badField      b is not a cell of 2 or 3 real arrays of one class,
%                   double or single
%     badOption     an option name that is not one of the five, or a name
%                   without its value
%     badClass      an option is not numeric (a char tolerance, say)
%     badMethod     method is not 'newton' or 'fixed'
%     badSteps, badTolerance, badThreads  the option is not one number
%                   of its kind (tolerance [1e-4 1e-3] is refused)
%     and the compiled call's (help invert_field_vol_f64): sizeMismatch
%     (a component on another grid), complex, sparse, empty, tooLarge,
%     outOfMemory, threadStart.
%
%   Warnings: invert_field:<condition>: notConverged, unrefined,
%   zeroKernel, extraSlices, partnerShape (help invert_field_vol_f64).
%
%   Example:
%     [x, y, z] = ndgrid (0:31, 0:31, 0:23);
%     b = {1.5 * sin(2 * pi * x / 32), cos(2 * pi * y / 32), 0 * z};
%     [F, info] = invert_field (b, 'tolerance', 1e-6);
%     [info.steps, info.max_residual]      % 2 steps, at most 1e-6
%
%   See also invert_field_vol_f64, dispinvert_vol_f64, dispinvert_refine_vol_f64,
%   Contents.
  if (nargin < 1)
    error ('invert_field:notEnoughInputs', ...
           'invert_field: invert_field needs the backward field b, a cell {bx, by, bz} or {bx, by}: F = invert_field (b)');
  end
  if (! iscell (b) || ! any (numel (b) == [2 3]) ...
      || ! all (cellfun (@(c) (isa (c, 'double') || isa (c, 'single')) && isreal (c) && ! issparse (c), b)) ...
      || ! all (strcmp (cellfun (@class, b, 'UniformOutput', false), class (b{1}))))
    error ('invert_field:badField', ...
           'invert_field: b must be a cell {bx, by, bz} or {bx, by} of real arrays, all double or all single');
  end
  names = {'kernel', 'steps', 'tolerance', 'method', 'threads'};
  valid = '''kernel'', ''steps'', ''tolerance'', ''method'' or ''threads''';
  value = {1, 20, 1e-4, 'newton', maxNumCompThreads()};
  if (mod (numel (varargin), 2) != 0)
    error ('invert_field:badOption', 'invert_field: options come in name, value pairs: %s', valid);
  end
  for k = 1:2:numel (varargin)
    name = varargin{k};
    which = [];
    if (ischar (name) && rows (name) <= 1)
      which = find (strcmpi (name, names));
    end
    if (isempty (which))
      if (ischar (name))
        error ('invert_field:badOption', 'invert_field: unknown option ''%s''; pass %s', name, valid);
      end
      error ('invert_field:badOption', 'invert_field: option %d is a %s, not a name; pass %s', ...
             (k + 1) / 2, class (name), valid);
    end
    value{which} = varargin{k + 1};
  end
  % Values are checked by the compiled call, which names them as written
  % here; what only Octave can pass (a name for a number, a number for a
  % name) is refused here, before any work.
  example = {'1', '20', '1e-4', '', '2'};
  for k = [1 2 3 5]
    if (! isnumeric (value{k}))
      error ('invert_field:badClass', 'invert_field: %s is %s; pass a number, e.g. %s', names{k}, ...
             class (value{k}), example{k});
    end
  end
  method = value{4};
  if (! ischar (method) || ! any (strcmpi (method, {'fixed', 'newton'})))
    if (ischar (method))
      got = ['''' method ''''];
    else
      got = class (method);
    end
    error ('invert_field:badMethod', 'invert_field: method is %s; pass ''newton'' or ''fixed''', got);
  end
  value{4} = double (strcmpi (method, 'newton'));

  % Numbers of another numeric class are taken at b's, as the plug-ins'
  % callers write single(8); sparse and complex ones reach the compiled
  % call, which refuses them by name.
  for k = 1:5
    if (! issparse (value{k}))
      value{k} = cast (value{k}, class (b{1}));
    end
  end
  plane = numel (b) == 2;
  if (isa (b{1}, 'single'))
    if (plane)  % no single plane plug-in: a volume one slice deep
      b{3} = zeros (size (b{1}), 'single');
    end
    compiled = @invert_field_vol_f32;
  elseif (plane)
    compiled = @invert_field_plane_f64;
  else
    compiled = @invert_field_vol_f64;
  end
  F = cell (1, numel (b));
  try
    [F{:}, s] = compiled (b{:}, value{:});
  catch err
    % Octave puts the compiled call's name before the message; the caller
    % called invert_field
    rethrow (struct ('message', regexprep (err.message, '^invert_field_\w+: ', 'invert_field: '), ...
                     'identifier', err.identifier, 'stack', err.stack));
  end
  F = F(1:2 + ! plane);
  info = struct ('steps', s(1), 'max_residual', s(2), 'mean_residual', s(3), ...
                 'converged', s(4) != 0, 'unrefined', s(5));
end
