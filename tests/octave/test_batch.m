% examples/batch.m: a small cohort shared among two processes (the parallel
% package's parcellfun), or sent to the package's cluster functions with one
% server on the loopback interface, gives, bit for bit, what the serial loop
% gives with all the session's threads, and each worker called the plug-ins
% with one thread.

%!test
%! examples = fullfile (getenv ('REGKERN_SOURCE_DIR'), 'examples');
%! state = warning ('off', 'all');          % examples/demo.m shadows the host's "demo"
%! addpath (examples);
%! warning (state);
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

%!testif ; getuid () == 0 && exist ('/usr/libexec/octave-pserver', 'file') == 2 && system ('unshare --net true') == 0
%! % the same on the package's cluster: one server on this machine's
%! % loopback interface, in namespaces of its own (see cluster_loopback.sh)
%! root = getenv ('REGKERN_SOURCE_DIR');
%! [status, out] = system (sprintf ('sh "%s" "%s" "%s" 2>&1', ...
%!                                  fullfile (root, 'tests', 'octave', 'cluster_loopback.sh'), ...
%!                                  fileparts (which ('remap_vol_f64')), fullfile (root, 'examples')));
%! assert (status, 0, out);
%! assert (! isempty (regexp (out, 'threads: 1\s+1\s+1\n', 'once')), out);
%! assert (! isempty (strfind (out, 'identical: 1')), out);
