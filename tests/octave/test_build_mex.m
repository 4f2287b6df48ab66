% build_mex.m builds every plug-in with Octave's own mex, and the result
% behaves like the CMake build.

%!test
%! root = getenv ('REGKERN_SOURCE_DIR');
%! out = tempname ();
%! addpath (root);
%! build_mex (out);
%! names = {'remap_vol_f32', 'remap_vol_f64', 'remap_plane_f64', 'dispinvert_vol_f64', ...
%!          'dispinvert_vol_f32', 'dispinvert_plane_f64', 'jointbins_f64', 'jointbins_f32'};
%! for k = 1:numel (names)
%!   assert (isfile (fullfile (out, [names{k} '.mex'])), names{k});
%! end
%! % run one freshly built plug-in from its own folder
%! here = pwd ();
%! cd (out);
%! unwind_protect
%!   A = reshape (mod ((1:60) * 7, 11) / 10, 5, 4, 3);
%!   [oa, ob] = feval ('remap_vol_f64', A, A, A, A, [0 1], 11, ones (3, 3, 3), 3);
%!   assert (size (oa), [5 4 3]);
%!   assert (all (oa(:) >= 0 & oa(:) <= 1));
%! unwind_protect_cleanup
%!   cd (here);
%!   confirm_recursive_rmdir (false, 'local');
%!   rmdir (out, 's');
%! end_unwind_protect
