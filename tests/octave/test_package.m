% The Octave package: the tarball that package/make_package.sh assembles
% installs with "pkg install" into a scratch prefix, loads, documents every
% plug-in once (help, lookfor, the overview "help regkern" and Contents list
% what is installed and nothing else), and each installed plug-in gives the
% same results, bit for bit, as the one the CMake build made.

%!function outputs = call_each (names)
%!  % One call of every plug-in on fixed, irregular data.
%!  rand ('seed', 11);
%!  A = rand (9, 8, 5);
%!  B = rand (9, 8, 5);
%!  [x, y, z] = ndgrid (0:9, 0:8, 0:6);
%!  bx = 1.3 * sin (y / 3) .* cos (z / 2);
%!  by = 0.9 * cos (x / 4);
%!  bz = 0.7 * sin ((x + y) / 5);
%!  H = rand (3, 3, 3);
%!  s = @single;
%!  outputs = cell (1, numel (names));
%!  for k = 1:numel (names)
%!    switch (names{k})
%!      case 'remap_vol_f64'
%!        [o1, o2] = remap_vol_f64 (A, B, B, A, [0 1], 16, ones (5, 5, 3), 3);
%!        outputs{k} = {o1, o2};
%!      case 'remap_vol_f32'
%!        [o1, o2] = remap_vol_f32 (s (A), s (B), s (B), s (A), s ([0 1]), s (16), s (ones (5, 5, 3)), s (3));
%!        outputs{k} = {o1, o2};
%!      case 'remap_plane_f64'
%!        [o1, o2] = remap_plane_f64 (A(:, :, 1), B(:, :, 1), B(:, :, 1), A(:, :, 1), [0 1], 16, ones (5, 5), 2);
%!        outputs{k} = {o1, o2};
%!      case 'dispinvert_vol_f64'
%!        [o1, o2, o3] = dispinvert_vol_f64 (bx, by, bz, H);
%!        outputs{k} = {o1, o2, o3};
%!      case 'dispinvert_vol_f32'
%!        [o1, o2, o3] = dispinvert_vol_f32 (s (bx), s (by), s (bz), s (H));
%!        outputs{k} = {o1, o2, o3};
%!      case 'dispinvert_plane_f64'
%!        [o1, o2] = dispinvert_plane_f64 (bx(:, :, 1), by(:, :, 1), H(:, :, 2));
%!        outputs{k} = {o1, o2};
%!      case 'dispinvert_refine_vol_f64'
%!        [o1, o2, o3, o4, o5] = dispinvert_refine_vol_f64 (bx, by, bz, -bx, -by, -bz, 3, 1e-4);
%!        outputs{k} = {o1, o2, o3, o4, o5};
%!      case 'dispinvert_refine_vol_f32'
%!        [o1, o2, o3, o4, o5] = dispinvert_refine_vol_f32 (s (bx), s (by), s (bz), s (-bx), s (-by), s (-bz), s (3), s (1e-4));
%!        outputs{k} = {o1, o2, o3, o4, o5};
%!      case 'dispinvert_refine_plane_f64'
%!        [o1, o2, o3, o4] = dispinvert_refine_plane_f64 (bx(:, :, 1), by(:, :, 1), -bx(:, :, 1), -by(:, :, 1), 3, 1e-4);
%!        outputs{k} = {o1, o2, o3, o4};
%!      case 'invert_field_vol_f64'
%!        [o1, o2, o3, o4] = invert_field_vol_f64 (bx, by, bz, H, 3, 1e-4, 1, 2);
%!        outputs{k} = {o1, o2, o3, o4};
%!      case 'invert_field_vol_f32'
%!        [o1, o2, o3, o4] = invert_field_vol_f32 (s (bx), s (by), s (bz), s (H), s (3), s (1e-4), s (0), s (2));
%!        outputs{k} = {o1, o2, o3, o4};
%!      case 'invert_field_plane_f64'
%!        [o1, o2, o3] = invert_field_plane_f64 (bx(:, :, 1), by(:, :, 1), 1, 3, 1e-4, 0, 1);
%!        outputs{k} = {o1, o2, o3};
%!      case 'jointbins_f64'
%!        [o1, o2, o3] = jointbins_f64 (A, B, 0, 1, 7.5);
%!        outputs{k} = {o1, o2, o3};
%!      case 'jointbins_f32'
%!        [o1, o2, o3] = jointbins_f32 (s (A), s (B), s (0), s (1), s (7.5));
%!        outputs{k} = {o1, o2, o3};
%!    end
%!  end
%!endfunction

%!test
%! root = getenv ('REGKERN_SOURCE_DIR');
%! [names, mfiles] = regkern_functions (root);
%! built = fileparts (which ('jointbins_f64'));
%! expected = call_each (names);
%! work = tempname ();
%! mkdir (work);
%! [old_prefix, old_archprefix] = pkg ('prefix');
%! old_list = pkg ('local_list');
%! rmpath (built);
%! unwind_protect
%!   [status, out] = system (sprintf ('sh "%s" "%s"', fullfile (root, 'package', 'make_package.sh'), work));
%!   assert (status, 0, out);
%!   tarball = strtrim (out);
%!   assert (exist (tarball, 'file'), 2);
%!   pkg ('prefix', fullfile (work, 'share'), fullfile (work, 'lib'));
%!   pkg ('local_list', fullfile (work, 'octave_packages'));
%!   pkg ('install', '-local', tarball);
%!   pkg ('load', 'regkern');
%!   for k = 1:numel (names)
%!     assert (strncmp (which (names{k}), fullfile (work, 'lib'), numel (fullfile (work, 'lib'))), ...
%!             [names{k} ' is not the installed binary']);
%!     assert (exist (names{k}), 3, names{k});
%!     assert (numel (get_help_text (names{k})) > 200, [names{k} ' has no help']);
%!   end
%!   % the overview and the contents list what is installed, each help file
%!   % is installed once (lookfor lists every plug-in once)
%!   share = fullfile (work, 'share');
%!   assert (strncmp (which ('regkern'), share, numel (share)), which ('regkern'));
%!   overview = get_help_text ('regkern');
%!   listed = regexp (get_help_text ('Contents'), '\n\s+(\w+)\s+- ', 'tokens');
%!   listed = [listed{:}];
%!   assert (sort (listed), sort ([names, mfiles]));
%!   for k = 1:numel (mfiles)
%!     assert (strncmp (which (mfiles{k}), share, numel (share)), [mfiles{k} ' is not installed']);
%!   end
%!   for k = 1:numel (names)
%!     assert (! isempty (regexp (overview, ['\n\s+' names{k} '\s+- '], 'once')), names{k});
%!   end
%!   found = regexp (evalc ('lookfor joint'), '(?m)^(\w+)\s', 'tokens');
%!   found = [found{:}];
%!   found = found(ismember (found, names));   % the tests' own files are on the path too
%!   assert (sort (found), {'jointbins_f32', 'jointbins_f64', 'remap_plane_f64', 'remap_vol_f32', 'remap_vol_f64'});
%!   installed = call_each (names);
%!   for k = 1:numel (names)
%!     for m = 1:numel (expected{k})
%!       assert (class (installed{k}{m}), class (expected{k}{m}), names{k});
%!       assert (isequal (installed{k}{m}, expected{k}{m}), [names{k} ' differs from the CMake build']);
%!     end
%!   end
%!   % the installed jointbins gives the documented worked example
%!   [joint, h1, h2] = jointbins_f64 ([1 6.5], [3 8], 0, 8, 4);
%!   assert (h1', [0.25 0.25 0 0.5]);
%!   assert (h2', [0 0.25 0.25 0.5]);
%!   assert (find (joint)', [5 6 9 10 16]);
%!   assert (mutual_information (joint, h1, h2, 'bits'), 1, eps);
%! unwind_protect_cleanup
%!   pkg ('unload', 'regkern');
%!   pkg ('prefix', old_prefix, old_archprefix);
%!   if (exist (old_list, 'file'))
%!     pkg ('local_list', old_list);   % setting a missing list would create it
%!   end
%!   addpath (built);
%!   confirm_recursive_rmdir (false, 'local');
%!   rmdir (work, 's');
%! end_unwind_protect
