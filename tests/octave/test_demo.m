% examples/demo.m runs headless, writes its six figures, and its report shows
% the remapping and the field inversion doing their job.

%!test
%! root = getenv ('REGKERN_SOURCE_DIR');
%! out = tempname ();
%! old = getenv ('REGKERN_DEMO_DIR');
%! setenv ('REGKERN_DEMO_DIR', out);
%! unwind_protect
%!   report = evalc ('run (fullfile (root, ''examples'', ''demo.m''))');
%!   figures = {'vol_joint_histograms', 'vol_slices', 'vol_inversion', ...
%!              'plane_joint_histograms', 'plane_slices', 'plane_inversion'};
%!   for k = 1:numel (figures)
%!     info = imfinfo (fullfile (out, [figures{k} '.png']));
%!     assert (info.Width > 300 && info.Height > 100, figures{k});
%!   end
%!   % every plug-in call is timed in the report
%!   for name = {'jointbins_f64', 'remap_vol_f64', 'dispinvert_vol_f64', 'remap_plane_f64', 'dispinvert_plane_f64'}
%!     assert (! isempty (regexp (report, ['\n\s+' name{1} '\s.*\d+\.\d{3} s\n'], 'once')), name{1});
%!   end
%!   % remapped images follow their partner's contrast
%!   r = str2double (regexp (report, 'correlation with D: A (-?[\d.]+), out_a ([\d.]+)', 'tokens', 'once'));
%!   assert (r(1) < 0.6 && r(2) > 0.98, report);
%!   % the inverted fields are consistent to a small fraction of a voxel
%!   e = regexp (report, 'mean ([\d.]+), 95th percentile ([\d.]+)', 'tokens');
%!   assert (numel (e), 3, report);
%!   for k = 1:3
%!     assert (str2double (e{k}{1}) < 0.01 && str2double (e{k}{2}) < 0.02, report);
%!   end
%! unwind_protect_cleanup
%!   setenv ('REGKERN_DEMO_DIR', old);
%!   if (exist (out, 'dir'))
%!     confirm_recursive_rmdir (false, 'local');
%!     rmdir (out, 's');
%!   end
%! end_unwind_protect
