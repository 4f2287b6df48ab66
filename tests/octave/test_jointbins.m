% The joint-histogram plug-ins in Octave: shapes, classes, values, count
% messages and input checks.

%!test
%! % worked example: bins 4 over [0, 8]
%! [j, h1, h2] = jointbins_f64 ([1 6.5], [3 8], 0, 8, 4);
%! assert (size (j), [4 4]);
%! assert (size (h1), [4 1]);
%! assert (size (h2), [4 1]);
%! assert (class (j), 'double');
%! expected = zeros (4);
%! expected([5 6 9 10]) = 0.125;
%! expected(16) = 0.5;
%! assert (j, expected);
%! assert (h1, [0.25; 0.25; 0; 0.5]);
%! assert (h2, [0; 0.25; 0.25; 0.5]);

%!test
%! % mutual information, worked by hand: the example above pairs bins
%! % {1,2} x {2,3} (0.125 each, marginals 0.25) and (4,4) (0.5, marginals 0.5),
%! % 4 * 0.125 * log (0.125 / 0.25^2) + 0.5 * log (0.5 / 0.5^2) = log 2
%! [j, h1, h2] = jointbins_f64 ([1 6.5], [3 8], 0, 8, 4);
%! assert (mutual_information (j, h1, h2), log (2), eps);
%! assert (mutual_information (j, h1, h2, 'bits'), 1, eps);
%! [j, h1, h2] = jointbins_f32 (single ([1 6.5]), single ([3 8]), single (0), single (8), single (4));
%! assert (mutual_information (j, h1, h2, 'bits'), 1, 1e-6);
%! % unequal marginals; counts give what shares give; a NaN pair lowers nothing
%! joint = [1 1; 0 2];
%! expected = 0.25 * log (0.25 / (0.5 * 0.25)) + 0.25 * log (0.25 / (0.5 * 0.75)) + 0.5 * log (0.5 / (0.5 * 0.75));
%! assert (mutual_information (joint, [2; 2], [1; 3]), expected, 4 * eps);
%! % marginals of other sums than joint's and each other's: each by its own
%! assert (mutual_information (joint, [0.5; 0.5], [10; 30]), expected, 4 * eps);
%! assert (mutual_information (joint / 4, [2; 2], [0.25; 0.75]), expected, 4 * eps);
%! [j, h1, h2] = jointbins_f64 ([0 0 1 1 NaN], [0 1 1 1 0], 0, 2, 2);
%! assert (mutual_information (j, h1, h2), expected, 4 * eps);
%! % independent images: 0; empty images (NaN histograms): NaN
%! assert (mutual_information (ones (3) / 9, ones (3, 1) / 3, ones (1, 3) / 3), 0, 4 * eps);
%! assert (isnan (mutual_information (NaN (2), NaN (2, 1), NaN (2, 1))));
%!error id=mutual_information:sizeMismatch mutual_information (ones (2, 3), [1 1], [1 1 1])
%!error id=mutual_information:sizeMismatch mutual_information (ones (2), [1 1], [1 1 1])
%!error id=mutual_information:badClass mutual_information (uint8 (ones (2)), [1 1], [1 1])
%!error id=mutual_information:badUnit mutual_information (ones (2), [1 1], [1 1], 'bans')
%!error id=mutual_information:nrhs mutual_information (ones (2), [1 1])
%!error <joint \(input 1\) has 2 negative elements \(least -1\)> mutual_information (-eye (2), [1 1], [1 1])
%!error id=mutual_information:badHistogram mutual_information (eye (2), [1 -1], [1 1])
%!error <h2 \(input 3\) sums to 0: it holds no sample> mutual_information (eye (2), [1 1], [0 0])

%!test
%! [j, h1, h2] = jointbins_f32 (single ([1 6.5]), single ([3 8]), single (0), single (8), single (4));
%! assert (class (j), 'single');
%! assert (class (h1), 'single');
%! assert (class (h2), 'single');
%! assert (size (j), [4 4]);
%! assert (h1, single ([0.25; 0.25; 0; 0.5]));

%!test
%! % images of any shape pair up in column-major order; a fractional bin
%! % count gives trunc(K) bins; in-range data sum to 1 with matching marginals
%! rand ('seed', 3);
%! a = rand (5, 4, 3) * 10;
%! b = reshape (rand (60, 1) * 10, 6, 10);
%! [j, h1, h2] = jointbins_f64 (a, b, 0, 10, 6.5);
%! assert (size (j), [6 6]);
%! assert (size (h1), [6 1]);
%! assert (sum (j(:)), 1, 1e-12);
%! assert (sum (j, 2), h1, 1e-12);
%! assert (sum (j, 1)', h2, 1e-12);
%! [j2, g1, g2] = jointbins_f64 (a(:)', b(:), 0, 10, 6.5);
%! assert (isequal (j, j2) && isequal (h1, g1) && isequal (h2, g2));
%! % the first call paired images of different shapes: a warning, which the
%! % vectors of the second (one length, either orientation) do not raise
%! lastwarn ('');
%! [j, h1, h2] = jointbins_f64 (a, b, 0, 10, 6.5);
%! [~, id] = lastwarn ();
%! assert (id, 'jointbins_f64:partnerShape');
%! lastwarn ('');
%! [j2, g1, g2] = jointbins_f64 (a(:)', b(:), 0, 10, 6.5);
%! assert (lastwarn (), '');

%!test
%! % the single-precision result is close to the double one
%! rand ('seed', 5);
%! a = rand (30, 20) * 4 - 0.5; b = rand (30, 20) * 4;
%! [j, h1, h2] = jointbins_f64 (a, b, 0, 3.5, 9);
%! [js, h1s, h2s] = jointbins_f32 (single (a), single (b), single (0), single (3.5), single (9));
%! assert (double (js), j, 1e-5);
%! assert (double (h2s), h2, 1e-5);

%!test
%! % a NaN sample adds nothing but counts; infinite samples go to the edge bins
%! [j, h1, h2] = jointbins_f64 ([NaN 5 Inf], [3 5 -Inf], 0, 8, 4);
%! assert (h1, [0; 0; 1/6; 0.5]);
%! assert (h2, [1/3; 0; 1/6; 1/6]);
%! assert (sum (j(:)), 2/3, 1e-15);

%!test
%! % an empty first image counts no sample: 0/0 everywhere, with a warning
%! lastwarn ('');
%! [j, h1, h2] = jointbins_f64 (zeros (0, 3), [], 0, 1, 3);
%! [~, id] = lastwarn ();
%! assert (id, 'jointbins_f64:noSamples');
%! assert (size (j), [3 3]);
%! assert (all (isnan ([j(:); h1; h2])));

%!error <five inputs are required\.> jointbins_f64 (1, 2, 3, 4)
%!error <five inputs are required\.> jointbins_f32 ()
%!error <five inputs are required\.> [j, h1] = jointbins_f64 (1, 2, 3, 4, 5, 6)
%!error <Three outputs are required$> jointbins_f64 (1, 2, 0, 8, 4)
%!error <Three outputs are required$> [j, h1] = jointbins_f32 (single (1), single (2), single (0), single (8), single (4))
%!error id=jointbins_f64:nrhs jointbins_f64 (1)
%!error id=jointbins_f64:nlhs [j, h1, h2, x] = jointbins_f64 (1, 2, 0, 8, 4)
%!error id=jointbins_f32:badClass [j, h1, h2] = jointbins_f32 (1, 2, 0, 8, 4)
%!error <lower \(input 3\) is double; pass single\(0\): every input, scalars included, must be single$> [j, h1, h2] = jointbins_f32 (single (1), single (2), 0, single (8), single (4))
%!error id=jointbins_f64:badClass [j, h1, h2] = jointbins_f64 (single (1), 2, 0, 8, 4)
%!error id=jointbins_f64:badClass [j, h1, h2] = jointbins_f64 (1, 2, 0, 8, int32 (4))
%!error id=jointbins_f64:badClass [j, h1, h2] = jointbins_f64 ([true false], [1 2], 0, 8, 4)
%!error id=jointbins_f64:complex [j, h1, h2] = jointbins_f64 ([1 2], [1 2] + 1i, 0, 8, 4)
%!error id=jointbins_f64:sparse [j, h1, h2] = jointbins_f64 (sparse ([1 2]), [1 2], 0, 8, 4)
%!error id=jointbins_f64:sizeMismatch [j, h1, h2] = jointbins_f64 ([1 2 3], [1 2], 0, 8, 4)
%!error id=jointbins_f64:empty [j, h1, h2] = jointbins_f64 ([1 2], [1 2], [], 8, 4)
%!error id=jointbins_f32:empty [j, h1, h2] = jointbins_f32 (single ([1 2]), single ([1 2]), single (0), single (8), single ([]))
%!error <bins \(input 5\) is 0.5; pass a finite value of at least 1$> [j, h1, h2] = jointbins_f64 (1, 2, 0, 8, 0.5)
%!error id=jointbins_f64:badBins [j, h1, h2] = jointbins_f64 (1, 2, 0, 8, NaN)
%!error id=jointbins_f32:badBins [j, h1, h2] = jointbins_f32 (single (1), single (2), single (0), single (8), single (Inf))
%!error id=jointbins_f64:badBins [j, h1, h2] = jointbins_f64 (1, 2, 0, 8, 46341)

%!test
%! % the session goes on after an error
%! try
%!   [j, h1, h2] = jointbins_f64 ([1 2 3], [1 2], 0, 8, 4);
%!   error ('no error raised');
%! catch err
%!   assert (err.identifier, 'jointbins_f64:sizeMismatch');
%!   assert (err.message, ['jointbins_f64: image2 (input 2) has 2 elements; pass at least 3, ' ...
%!                         'one per element of image1 (input 1)']);
%! end
%! [j, h1, h2] = jointbins_f64 ([1 6.5], [3 8], 0, 8, 4);
%! assert (h2, [0; 0.25; 0.25; 0.5]);
