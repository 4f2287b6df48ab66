% batch  Many images: a cohort of synthetic subjects, each processed the same
% way (batch_subject), shared among parallel processes of one thread each.
%
%   results = batch ()
%   results = batch (subjects, processes, vol_size)
%
% subjects   number of subjects (default 8), numbered 1 to SUBJECTS
% processes  worker processes (default: the number of cores); 0 runs the
%            plain serial loop in this process, with all its threads. In
%            Octave also the connections that pconnect returned: the
%            subjects then go to the cluster's servers (netcellfun).
% vol_size   size of every volume (default [64 64 48])
%
% results is a 1-by-SUBJECTS struct array from batch_subject, in subject
% order; it is the same, bit for bit, whatever PROCESSES is.
%
% In Octave the processes are the parallel package's parcellfun (Debian:
% octave-parallel; "pkg load parallel" is done here): forked copies of this
% session, which inherit its path, so the plug-ins' folder and examples/
% need only be on the path here. In MATLAB the loop is a parfor over the
% current parallel pool (Parallel Computing Toolbox; without it parfor runs
% serially). Each worker sets maxNumCompThreads to 1: the processes, not
% the plug-ins' threads, then share the cores.
%
% The cohort is not examples/batch.py's: this one is made from the demo's
% phantom and field (demo_phantom, demo_field), which batch.py does not
% port; it has its own phantom, field, block size and kernel. Both show
% the same thing (processes of one thread give the serial loop's bits),
% not the same numbers.
function results = batch (subjects, processes, vol_size)
  if (nargin < 1)
    subjects = 8;
  end
  if (nargin < 2)
    processes = feature_cores ();
  end
  if (nargin < 3)
    vol_size = [64 64 48];
  end
  here = fileparts (mfilename ('fullpath'));
  if (exist ('demo_phantom', 'file') ~= 2)
    addpath (here);
  end
  if (exist ('remap_vol_f64', 'file') ~= 3)
    error ('batch:notBuilt', 'the plug-ins are not on the path: run "make build" and addpath build/octave');
  end
  octave = exist ('OCTAVE_VERSION', 'builtin');
  start = tic;
  if (isnumeric (processes) && processes == 0)
    results = cell (1, subjects);
    for s = 1:subjects
      results{s} = batch_subject (s, vol_size, maxNumCompThreads ());
    end
  elseif (octave && isnumeric (processes))
    pkg ('load', 'parallel');
    results = parcellfun (processes, @(s) batch_subject (s, vol_size, 1), num2cell (1:subjects), ...
                          'UniformOutput', false, 'VerboseLevel', 0);
  elseif (octave)
    % The servers of a parallel-package cluster (connections from pconnect).
    % Each server machine needs the same two folders, e.g. on a shared file
    % system; it runs its share of the subjects in one process per core.
    pkg ('load', 'parallel');
    reval (sprintf ('addpath (''%s'', ''%s'');', fileparts (which ('remap_vol_f64')), here), processes);
    results = netcellfun (processes, @(s) batch_subject (s, vol_size, 1), num2cell (1:subjects), ...
                          'UniformOutput', false);
  else
    results = cell (1, subjects);
    parfor s = 1:subjects
      results{s} = batch_subject (s, vol_size, 1);
    end
  end
  results = [results{:}];
  if (isnumeric (processes))
    how = sprintf ('%d processes', processes);
  else
    how = sprintf ('a cluster of %d servers', numel (processes) - 1);
  end
  fprintf ('batch: %d subjects of %dx%dx%d in %.1f s (%s)\n', subjects, vol_size, toc (start), how);
  for r = results
    fprintf ('  subject %2d: correlation with D %.3f (A) -> %.3f (out_a), %d thread(s)\n', ...
             r.subject, r.correlation, r.threads);
  end
end

function n = feature_cores ()
  if (exist ('OCTAVE_VERSION', 'builtin'))
    n = nproc ();
  else
    n = feature ('numcores');
  end
end
