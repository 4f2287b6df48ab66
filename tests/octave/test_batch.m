% examples/batch.m: a small cohort shared among two processes (the parallel
% package's parcellfun), or sent to the package's cluster functions with one
% server on the loopback interface, gives, bit for bit, what the serial loop
% gives with all the session's threads, and each worker called the plug-ins
% with one thread.

%!test
%! examples = fullfile (getenv ('REGKERN_SOURCE_DIR'), 'examples');
%! addpath (examples);
%! threads = maxNumCompThreads ();
%! unwind_protect
%!   report = evalc ('serial = batch (4, 0, [20 18 12]); shared = batch (4, 2, [20 18 12]);');
%!   assert ([serial.subject], 1:4);
%!   assert ([serial.threads], repmat (threads, 1, 4));
%!   assert ([shared.threads], ones (1, 4));
%!   assert (maxNumCompThreads (), threads);  % the serial loop put the count back
%!   assert (isequal (rmfield (shared, 'threads'), rmfield (serial, 'threads')), ...
%!           'the processes differ from the serial loop');
%!   % the subjects differ, and each is remapped into D's contrast
%!   assert (! isequal (serial(1).out_a, serial(2).out_a));
%!   c = reshape ([serial.correlation], 2, []);
%!   assert (all (c(1, :) < 0.7 & c(2, :) > 0.95), report);
%! unwind_protect_cleanup
%!   rmpath (examples);
%! end_unwind_protect

%!function ok = cluster_possible ()
%!  % says why the cluster test is skipped: ctest shows only that it passed
%!  why = '';
%!  if (getuid () != 0)
%!    why = 'needs root, to run the server in namespaces of its own (unshare) as another user';
%!  elseif (exist ('/usr/libexec/octave-pserver', 'file') != 2)
%!    why = 'needs the parallel package''s server, /usr/libexec/octave-pserver (Debian: octave-parallel)';
%!  elseif (system ('unshare --net --mount true') != 0)
%!    why = 'unshare --net --mount fails here (a container without the capability?)';
%!  end
%!  ok = isempty (why);
%!  if (! ok)
%!    printf ('skipped: the cluster test %s\n', why);
%!  end
%!endfunction

%!testif ; cluster_possible ()
%! % the same on the package's cluster: one server on this machine's
%! % loopback interface, in namespaces of its own (see cluster_loopback.sh)
%! root = getenv ('REGKERN_SOURCE_DIR');
%! [status, out] = system (sprintf ('sh "%s" "%s" "%s" 2>&1', ...
%!                                  fullfile (root, 'tests', 'octave', 'cluster_loopback.sh'), ...
%!                                  fileparts (which ('remap_vol_f64')), fullfile (root, 'examples')));
%! assert (status, 0, out);
%! assert (! isempty (regexp (out, 'threads: 1\s+1\s+1\n', 'once')), out);
%! assert (! isempty (strfind (out, 'identical: 1')), out);
