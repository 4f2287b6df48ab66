% The remapping plug-ins in Octave: shapes, classes, count messages and
% input checks.

%!shared A, B, C, D, W
%! rand ('seed', 7);
%! A = rand (9, 8, 5); B = rand (9, 8, 5); C = rand (9, 8, 5); D = rand (9, 8, 5);
%! W = ones (5, 5, 3);

%!test
%! [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], 16, W, 3);
%! assert (size (oa), [9 8 5]);
%! assert (size (ob), [9 8 5]);
%! assert (class (oa), 'double');
%! assert (all (oa(:) >= 0 & oa(:) <= 1));
%! % every output is a bin intensity k / 15
%! assert (max (abs (oa(:) * 15 - round (oa(:) * 15))) < 1e-12);

%!test
%! [oa, ob] = remap_vol_f32 (single (A), single (B), single (C), single (D), single ([0 1]), single (16), single (W), single (3));
%! assert (class (oa), 'single');
%! assert (class (ob), 'single');
%! assert (size (ob), [9 8 5]);

%!test
%! [oa, ob] = remap_plane_f64 (A(:,:,1), B(:,:,1), C(:,:,1), D(:,:,1), [0 1], 8, ones (5, 5), 2);
%! assert (size (oa), [9 8]);
%! assert (size (ob), [9 8]);

%!test
%! % a single slice is a volume of depth 1; A = D maps each value to its bin
%! X = round (A(:,:,1) * 4) / 4;
%! [oa, ob] = remap_vol_f64 (X, X, X, X, [0 1], 5, ones (3, 3), 3);
%! assert (size (oa), [9 8]);
%! assert (oa(1:6, 1:6), X(1:6, 1:6));

%!error <8 inputs are required\.> remap_vol_f64 (A, B, C, D, [0 1], 16, W)
%!error <8 inputs are required\.> remap_plane_f64 ()
%!error <2 outputs are required> oa = remap_vol_f64 (A, B, C, D, [0 1], 16, W, 3);
%!error <2 outputs are required> oa = remap_vol_f32 (A, B, C, D, [0 1], 16, W, 3);
%!error id=remap_vol_f32:badClass [oa, ob] = remap_vol_f32 (A, B, C, D, [0 1], 16, W, 3);
%!error id=remap_vol_f64:complex [oa, ob] = remap_vol_f64 (A + 1i, B, C, D, [0 1], 16, W, 3);
%!error id=remap_plane_f64:sparse [oa, ob] = remap_plane_f64 (sparse (A(:,:,1)), B, C, D, [0 1], 16, W, 3);
%!error id=remap_vol_f64:badClass [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], int32 (16), W, 3);
%!error id=remap_vol_f64:badClass [oa, ob] = remap_vol_f64 (A > 0.5, B, C, D, [0 1], 16, W, 3);
%!error id=remap_vol_f64:sizeMismatch [oa, ob] = remap_vol_f64 (A, B(:,:,1), C, D, [0 1], 16, W, 3);
%!error id=remap_vol_f64:badRange [oa, ob] = remap_vol_f64 (A, B, C, D, [1 0], 16, W, 3);
%!error id=remap_vol_f64:badBins [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], 2.5, W, 3);
%!error id=remap_vol_f64:badSpacing [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], 16, W, 0);
%!error id=remap_vol_f64:empty [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], [], W, 3);

%!test
%! % the session goes on after an error
%! try
%!   [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], 16, W, -1);
%! catch err
%!   assert (err.identifier, 'remap_vol_f64:badSpacing');
%! end
%! [oa, ob] = remap_vol_f64 (A, B, C, D, [0 1], 16, W, 3);
%! assert (size (oa), [9 8 5]);
