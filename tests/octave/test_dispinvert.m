% Field-inversion plug-ins in Octave: shapes, classes, values, messages and
% identifiers, and a session that keeps working after a rejected call.

%!test
%! bx = ones (4, 3, 2);  z = zeros (4, 3, 2);
%! [fx, fy, fz] = dispinvert_vol_f64 (bx, z, z, 1);
%! assert (class (fx), 'double');
%! assert (size (fx), [4 3 2]);  assert (size (fy), [4 3 2]);  assert (size (fz), [4 3 2]);
%! expected = repmat (-1 / (1 + 1e-8), 4, 3, 2);
%! expected(1, :, :) = 0;
%! assert (isequal (fx, expected));
%! assert (isequal (fy, z) && isequal (fz, z));

%!test
%! bx = repmat (single (0.25), 5, 2, 2);  z = zeros (5, 2, 2, 'single');
%! [fx, fy, fz] = dispinvert_vol_f32 (bx, z, z, single (1));
%! assert (class (fx), 'single');  assert (class (fz), 'single');
%! assert (size (fx), [5 2 2]);
%! eps32 = double (single (1e-8));
%! expected = repmat (single (-0.25 / (1 + eps32)), 5, 2, 2);
%! expected(1, :, :) = single (-0.1875 / (0.75 + eps32));
%! assert (isequal (fx, expected));

%!test
%! % Only pixel (2, 2) moves, by half a pixel along both axes.
%! bx = zeros (4, 4);  bx(2, 2) = 0.5;
%! [fx, fy] = dispinvert_plane_f64 (bx, bx, 1);
%! assert (class (fx), 'double');  assert (size (fy), [4 4]);
%! expected = zeros (4, 4);
%! expected(2, 2) = -0.125 / (0.25 + 1e-8);
%! expected(3, 2) = -0.125 / (1.25 + 1e-8);
%! expected(2, 3) = expected(3, 2);  expected(3, 3) = expected(3, 2);
%! assert (isequal (fx, expected) && isequal (fy, expected));

%!test
%! % A plane field and a 2-D kernel are one-slice volumes.
%! bx = ones (5, 4);  z = zeros (5, 4);
%! [fx, fy, fz] = dispinvert_vol_f64 (bx, z, z, [0 0 0; 0 1 0; 0 0 0]);
%! assert (size (fx), [5 4]);
%! expected = repmat (-1 / (1 + 1e-8), 5, 4);  expected(1, :) = 0;
%! assert (isequal (fx, expected));
%! [gx, gy, gz] = dispinvert_vol_f64 (rand (4, 4, 3), rand (4, 4, 3), rand (4, 4, 3), ones (2, 3));
%! assert (size (gx), [4 4 3]);  assert (all (isfinite (gx(:))));

%!test
%! % The plane plug-in takes the first plane of a 3-D field, and says so.
%! bx = rand (5, 4, 2) - 0.5;  by = rand (5, 4, 2) - 0.5;
%! warning ('off', 'dispinvert_plane_f64:extraSlices', 'local');
%! lastwarn ('');
%! [fx, fy] = dispinvert_plane_f64 (bx, by, ones (3, 3));
%! [~, id] = lastwarn ();
%! assert (id, '');  % silenced by its identifier
%! [gx, gy] = dispinvert_plane_f64 (bx(:, :, 1), by(:, :, 1), ones (3, 3));
%! assert (size (fx), [5 4]);
%! assert (isequal (fx, gx) && isequal (fy, gy));

%!test
%! [fx, fy, fz] = dispinvert_vol_f64 (zeros (0, 3, 2), zeros (0, 3, 2), zeros (0, 3, 2), 1);
%! assert (size (fx), [0 3 2]);  assert (class (fz), 'double');
%! [gx, gy] = dispinvert_plane_f64 (zeros (3, 0), zeros (3, 0), 1);
%! assert (size (gy), [3 0]);

%!error <dispinvert_vol_f64: Four inputs are required\.> dispinvert_vol_f64 (1, 2, 3)
%!error id=dispinvert_vol_f64:nrhs [a, b, c] = dispinvert_vol_f64 (1, 2, 3, 4, 5)
%!error <Three outputs are required$> [a, b] = dispinvert_vol_f64 (1, 2, 3, 4)
%!error id=dispinvert_vol_f32:nlhs [a, b, c, d] = dispinvert_vol_f32 (single (1), single (2), single (3), single (4))
%!error <dispinvert_plane_f64: Three inputs are required\.> [a, b] = dispinvert_plane_f64 (1, 2, 3, 4)
%!error id=dispinvert_plane_f64:nlhs [a, b, c] = dispinvert_plane_f64 (1, 2, 3)
%!error <bx \(input 1\) is double; pass single\(1\): every input, scalars included, must be single$> [a, b, c] = dispinvert_vol_f32 (1, single (2), single (3), single (4))
%!error id=dispinvert_vol_f64:badClass [a, b, c] = dispinvert_vol_f64 (1, int32 (2), 3, 4)
%!error id=dispinvert_vol_f64:complex [a, b, c] = dispinvert_vol_f64 (1, 2, 3 + 1i, 4)
%!error id=dispinvert_plane_f64:sparse [a, b] = dispinvert_plane_f64 (1, 2, sparse (1))
%!error id=dispinvert_vol_f64:sizeMismatch [a, b, c] = dispinvert_vol_f64 (ones (3, 3, 2), ones (3, 3), ones (3, 3, 2), 1)

%!test
%! % A rejected call leaves the session able to run the plug-ins again.
%! try
%!   [a, b, c] = dispinvert_vol_f64 (ones (2, 2, 2), ones (2, 2), ones (2, 2, 2), 1);
%!   error ('the short component was accepted');
%! catch err
%!   assert (err.identifier, 'dispinvert_vol_f64:sizeMismatch');
%!   assert (err.message, ['dispinvert_vol_f64: by (input 2) has 4 elements; pass at ' ...
%!                         'least 8, one per point of the grid of bx (input 1)']);
%! end
%! [fx, fy, fz] = dispinvert_vol_f64 (ones (2, 2, 2), zeros (2, 2, 2), zeros (2, 2, 2), 1);
%! assert (fx(2, 1, 1), -1 / (1 + 1e-8));
%! [gx, gy] = dispinvert_plane_f64 (ones (3, 3), zeros (3, 3), 1);
%! assert (gx(3, 3), -1 / (1 + 1e-8));

%!test
%! % invert_field is the splat followed by the refinement, bit for bit, for
%! % volumes, planes and single precision (a single plane as a volume one
%! % slice deep), and its info describes the residual of the field returned.
%! [x, y, z] = ndgrid (0:11, 0:9, 0:7);
%! b = {1.5 * sin(2 * pi * x / 12), cos(2 * pi * y / 10), 0.5 * sin(2 * pi * z / 8)};
%! H = ones (3, 3, 3);
%! [f{1:3}] = dispinvert_vol_f64 (b{:}, H);
%! warning ('off', 'dispinvert_refine_vol_f64:notConverged', 'local');
%! [g{1:3}, r, done] = dispinvert_refine_vol_f64 (b{:}, f{:}, 6, 1e-5);
%! [F, info] = invert_field (b, 'Kernel', H, 'STEPS', 6, 'tolerance', 1e-5, 'method', 'fixed');
%! assert (isequal (F, g));
%! assert (info.steps, done);
%! assert (info.max_residual, max (r(:)));
%! assert (info.mean_residual, mean (r(:)));
%! assert (info.converged, max (r(:)) <= 1e-5);
%! assert (info.unrefined, 0);
%! p = {b{1}(:, :, 1), b{2}(:, :, 1)};
%! [f{1:2}] = dispinvert_plane_f64 (p{:}, 1);
%! % a tolerance the splat already meets: it comes back as it was (the
%! % refinement in place keeps its start)
%! [S, info] = invert_field (p, 'tolerance', 10);
%! assert (isequal (S, f(1:2)) && info.steps == 0);
%! [g{1:2}] = dispinvert_refine_plane_f64 (p{:}, f{1:2}, 20, 1e-4);
%! assert (isequal (invert_field (p, 'method', 'fixed'), g(1:2)));
%! s = cellfun (@single, p, 'UniformOutput', false);
%! o = zeros (12, 10, 'single');
%! [f{1:3}] = dispinvert_vol_f32 (s{:}, o, single (1));
%! [g{1:3}] = dispinvert_refine_vol_f32 (s{:}, o, f{:}, single (20), single (1e-4));
%! S = invert_field (s, 'METHOD', 'Fixed');
%! assert (numel (S), 2);
%! assert (isequal (S, g(1:2)));
%! % NaN and Inf in b and in the start field (a NaN kernel element): the
%! % points that meet them keep their splat value, the same bits as the
%! % plug-ins', and count as unrefined; the statistics are over the finite
%! % residuals, so one such point leaves the mean finite
%! b{1}(5, 5, 4) = NaN;
%! b{3}(2, 7, 1) = -Inf;
%! H(2, 3, 1) = NaN;
%! warning ('off', 'invert_field:unrefined', 'local');
%! warning ('off', 'invert_field:notConverged', 'local');
%! warning ('off', 'dispinvert_vol_f64:zeroKernel', 'local');
%! bits = @(c) cellfun (@(a) typecast (a(:), 'uint64'), c, 'UniformOutput', false);
%! for kernel = {1, H}
%!   [f{1:3}] = dispinvert_vol_f64 (b{:}, kernel{1});
%!   [g{1:3}, r, done] = dispinvert_refine_vol_f64 (b{:}, f{:}, 3, 1e-5);
%!   [F, info] = invert_field (b, 'kernel', kernel{1}, 'steps', 3, 'tolerance', 1e-5, 'method', 'fixed');
%!   assert (isequal (bits (F), bits (g)));
%!   finite = isfinite (r(:));
%!   assert ([info.steps, info.unrefined, info.converged], [done, nnz(! finite), 0]);
%!   if (any (finite))
%!     assert (info.max_residual, max (r(finite)));
%!     assert (info.mean_residual, mean (r(finite)), 4 * eps (info.mean_residual));
%!   end
%! end
%! % the same bits and info for every thread count, with each method
%! for method = {'fixed', 'newton'}
%!   [F1, i1] = invert_field (b, 'steps', 4, 'threads', 1, 'method', method{1});
%!   for threads = [2 3]
%!     [Ft, it] = invert_field (b, 'steps', 4, 'threads', threads, 'method', method{1});
%!     assert (isequal (bits (Ft), bits (F1)) && isequal (it, i1), sprintf ('%s, %d threads', method{1}, threads));
%!   end
%! end

%!error id=invert_field:badField invert_field ({1, single(1)})
%!error id=invert_field:badField invert_field (ones (4, 4, 4, 3))
%!error id=invert_field:badOption invert_field ({1, 1}, 'steps')
%!error id=invert_field:badOption invert_field ({1, 1}, 'iterations', 3)
%!error id=invert_field:badSteps invert_field ({1, 1}, 'steps', -1)
