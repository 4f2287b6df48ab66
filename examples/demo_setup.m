% demo_setup  Puts the plug-ins on the path for a demo script and returns the
% folder its figures go to (created if need be).
%
%   out_dir = demo_setup ()
%
% The plug-ins: those already on the path, else the build folder's octave/
% (the build folder is the current folder when it holds octave/, as in
% "make demo", else build/ of the source tree), else build_mex's default
% mex/. The figures: the folder REGKERN_DEMO_DIR names (the tests set it),
% else demo/ in the build folder.
function out_dir = demo_setup ()
  root = fileparts (fileparts (mfilename ('fullpath')));
  if (exist (fullfile (pwd (), 'octave'), 'dir'))
    build = pwd ();
  else
    build = fullfile (root, 'build');
  end
  if (exist ('jointbins_f64', 'file') ~= 3)
    addpath (fullfile (build, 'octave'));
    if (exist ('jointbins_f64', 'file') ~= 3)
      addpath (fullfile (build, 'mex'));
    end
  end
  if (exist ('jointbins_f64', 'file') ~= 3)
    error ('demo:notBuilt', 'the plug-ins are not built: run "make build" or build_mex first');
  end
  out_dir = getenv ('REGKERN_DEMO_DIR');
  if (isempty (out_dir))
    out_dir = fullfile (build, 'demo');
  end
  if (~exist (out_dir, 'dir'))
    mkdir (out_dir);
  end
end
