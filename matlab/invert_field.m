function [F, info] = invert_field (b, varargin)
% invert_field  Inverse of a backward displacement field in one call: splat, then refine.
%
%   F = invert_field (b)
%   [F, info] = invert_field (b, 'kernel', H, 'steps', n, 'tolerance', tol)
%
%   Gives the forward field F of the backward field b: the field with
%   q + F(q) + b(q + F(q)) = q at every grid point q, so that F undoes the
%   map p -> p + b(p). A splat (dispinvert_vol_f64 and its kin) gives a
%   first F, accurate to about a tenth of a voxel where b is smooth; the
%   refinement (dispinvert_refine_vol_f64 and its kin) then repeats
%   F(q) <- -b(q + F(q)) until the largest residual
%
%     r(q) = |F(q) + b(q + F(q))|   (Euclidean, in voxels)
%
%   is at most the tolerance, or the steps run out. Both run on
%   maxNumCompThreads threads and give the same bits for every count.
%
%   Fields are cells of components, {bx, by, bz} for a volume and {bx, by}
%   for a plane, each component an array on the grid (x along the first
%   dimension, y the second, z the third), in voxels, all of class double or
%   all single. F has the same form and class. A single-precision plane is
%   refined as a volume one slice deep.
%
%   Options (name, value pairs):
%     'kernel'     the splatting kernel H (default 1: no spreading); see
%                  help dispinvert_vol_f64.
%     'steps'      the most refinement steps, 0 to 1000 (default 20). 0
%                  returns the splat and its residual.
%     'tolerance'  the largest residual to stop at, in voxels (default
%                  1e-4).
%
%   info is a struct:
%     steps          the refinement steps taken
%     max_residual   the largest finite r of F
%     mean_residual  the mean of the finite r of F
%     converged      true when max_residual is at most the tolerance
%     unrefined      grid points whose r is not finite (b or F NaN or
%                    infinite there): they keep the splat's value
%
%   Where b is smooth (it changes by less than a voxel per voxel) each step
%   shrinks the residual by about the slope of b, and each costs about a
%   splat with H = 1; on a 128x128x96 field with displacements up to 4
%   voxels, 4 steps take the splat's 0.1 voxel to 2e-5. Where b folds
%   (p + b(p) is not one-to-one) no inverse exists: the residual grows and
%   the refinement warns (<plug-in>:notConverged).
%
%   Errors: invert_field:badField when b is not a cell of 2 or 3 real
%   arrays of one class, double or single; invert_field:badOption for an
%   unknown option or a missing value. The plug-ins' own errors (a bad
%   number of steps, a component on another grid) come through with their
%   identifiers, e.g. dispinvert_refine_vol_f64:badSteps.
%
%   Example:
%     [x, y, z] = ndgrid (0:31, 0:31, 0:23);
%     b = {1.5 * sin(2 * pi * x / 32), cos(2 * pi * y / 32), 0 * z};
%     [F, info] = invert_field (b, 'tolerance', 1e-6);
%     [info.steps, info.max_residual]      % about 10 steps, at most 1e-6
%
%   See also dispinvert_vol_f64, dispinvert_refine_vol_f64, Contents.
  if (! iscell (b) || ! any (numel (b) == [2 3]) ...
      || ! all (cellfun (@(c) (isa (c, 'double') || isa (c, 'single')) && isreal (c) && ! issparse (c), b)) ...
      || ! all (strcmp (cellfun (@class, b, 'UniformOutput', false), class (b{1}))))
    error ('invert_field:badField', ...
           'b must be a cell {bx, by, bz} or {bx, by} of real arrays, all double or all single');
  end
  H = 1;  steps = 20;  tolerance = 1e-4;
  if (mod (numel (varargin), 2) != 0)
    error ('invert_field:badOption', 'options come in name, value pairs: ''kernel'', ''steps'', ''tolerance''');
  end
  for k = 1:2:numel (varargin)
    name = varargin{k};
    if (! ischar (name))
      error ('invert_field:badOption', 'option %d is not a name; pass ''kernel'', ''steps'' or ''tolerance''', (k + 1) / 2);
    end
    switch (lower (name))
      case 'kernel'
        H = varargin{k + 1};
      case 'steps'
        steps = varargin{k + 1};
      case 'tolerance'
        tolerance = varargin{k + 1};
      otherwise
        error ('invert_field:badOption', 'unknown option ''%s''; pass ''kernel'', ''steps'' or ''tolerance''', name);
    end
  end

  as = @(v) cast (v, class (b{1}));
  plane = numel (b) == 2;
  if (isa (b{1}, 'single'))
    if (plane)  % no single plane plug-ins: a volume one slice deep
      b{3} = zeros (size (b{1}), 'single');
    end
    [f{1:3}] = dispinvert_vol_f32 (b{:}, as (H));
    [F{1:3}, r, done] = dispinvert_refine_vol_f32 (b{:}, f{:}, as (steps), as (tolerance));
    if (plane)
      F = F(1:2);
    end
  elseif (plane)
    [f{1:2}] = dispinvert_plane_f64 (b{:}, H);
    [F{1:2}, r, done] = dispinvert_refine_plane_f64 (b{:}, f{:}, steps, tolerance);
  else
    [f{1:3}] = dispinvert_vol_f64 (b{:}, H);
    [F{1:3}, r, done] = dispinvert_refine_vol_f64 (b{:}, f{:}, steps, tolerance);
  end

  if (nargout > 1)
    finite = isfinite (r(:));
    info.steps = double (done);
    info.max_residual = double (max ([0; r(finite)]));
    info.mean_residual = double (mean (r(finite)));
    info.converged = info.max_residual <= tolerance;
    info.unrefined = nnz (! finite);
  end
end
