% Every case the stand-in host tests wrote gives the same bits in Octave.
%!test
%! dir = getenv ('REGKERN_SHARED_CASES');
%! files = glob (fullfile (dir, '*.case'));
%! assert (numel (files) > 0, 'no shared cases were written');
%! for k = 1:numel (files)
%!   check_shared_case (files{k});
%! end

% Random calls made here, with their outputs, for the Python suite to replay
% bit for bit (tests/python/test_shared_cases.py): three per plug-in, of
% random shapes and settings, on random thread counts.
%!test
%! dir = fullfile (getenv ('REGKERN_SHARED_CASES'), 'octave');
%! mkdir (dir);
%! rand ('state', 20);
%! plugins = {'remap_vol_f64', 'remap_vol_f32', 'remap_plane_f64', 'dispinvert_vol_f64', ...
%!            'dispinvert_vol_f32', 'dispinvert_plane_f64', 'jointbins_f64', 'jointbins_f32'};
%! threads = maxNumCompThreads ();
%! unwind_protect
%!   for p = 1:numel (plugins)
%!     name = plugins{p};
%!     plane = ! isempty (strfind (name, 'plane'));
%!     for k = 1:3
%!       sz = 3 + floor (12 * rand (1, 3));
%!       if (plane)
%!         sz = sz(1:2);
%!       end
%!       if (strncmp (name, 'remap', 5))
%!         nout = 2;
%!         window = 1 + floor (6 * rand (1, numel (sz)));
%!         in = {rand(sz) * 4 - 2, rand(sz) * 4 - 2, rand(sz) * 4 - 2, rand(sz) * 4 - 2, ...
%!               [-1.5 1.75], 2 + floor(40 * rand()), rand(window), 1 + 5 * rand()};
%!         in{1}(1) = NaN;
%!       elseif (strncmp (name, 'dispinvert', 10))
%!         nout = numel (sz);
%!         in = cell (1, nout + 1);
%!         for a = 1:numel (sz)
%!           in{a} = (rand (sz) - 0.5) * 6;
%!         end
%!         in{end} = rand (1 + floor (4 * rand (1, numel (sz))));
%!       else
%!         nout = 3;
%!         in = {rand(sz) * 10 - 1, rand([prod(sz) + 2, 1]) * 9, 0, 8, 1 + 30 * rand()};
%!       end
%!       if (strcmp (name(end-2:end), 'f32'))
%!         in = cellfun (@single, in, 'UniformOutput', false);
%!       end
%!       out = cell (1, nout);
%!       maxNumCompThreads (1 + floor (4 * rand ()));
%!       [out{:}] = feval (name, in{:});
%!       write_shared_case (fullfile (dir, sprintf ('%s_%d.case', name, k)), name, in, out);
%!     end
%!   end
%! unwind_protect_cleanup
%!   maxNumCompThreads (threads);
%! end_unwind_protect
