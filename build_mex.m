% build_mex  Build the regkern plug-ins with this host's own mex command.
%
%   build_mex            builds into <toolbox>/build/mex
%   build_mex (outdir)   builds into outdir
%
% Works in MATLAB and in GNU Octave. Every plug-in is compiled as C++17 with
% -O2 and -ffp-contract=off: fused multiply-adds would change the results in
% the last bit, so fast-math style options must never be added.
function build_mex (outdir)
  root = fileparts (mfilename ('fullpath'));
  if (nargin < 1)
    outdir = fullfile (root, 'build', 'mex');
  end
  if (~exist (outdir, 'dir'))
    mkdir (outdir);
  end
  foundation = {fullfile(root, 'foundation', 'failure.cpp'), ...
                fullfile(root, 'foundation', 'host_args.cpp')};
  plugins = {'remap', 'remap_vol_f32'; 'remap', 'remap_vol_f64'; 'remap', 'remap_plane_f64';
             'dispinvert', 'dispinvert_vol_f64'; 'dispinvert', 'dispinvert_vol_f32';
             'dispinvert', 'dispinvert_plane_f64';
             'jointbins', 'jointbins_f64'; 'jointbins', 'jointbins_f32'};
  % -fno-tree-slp-vectorize: GCC 12 vectorizes away the rounding of
  % neighbouring double -> float -> double conversions.
  flags = '-std=c++17 -O2 -ffp-contract=off -fno-fast-math -fno-tree-slp-vectorize -pthread';
  is_octave = exist ('OCTAVE_VERSION', 'builtin') ~= 0;
  % Object files go to a scratch folder, not to the caller's folder.
  here = pwd ();
  scratch = tempname ();
  mkdir (scratch);
  cd (scratch);
  cleanup = onCleanup (@() restore (here, scratch));
  for k = 1:size (plugins, 1)
    family = plugins{k, 1};
    name = plugins{k, 2};
    source = fullfile (root, family, [name '.cpp']);
    includes = {['-I' fullfile(root, 'foundation')], ['-I' fullfile(root, family)]};
    if (is_octave)
      setenv ('CXXFLAGS', [flags ' -fPIC']);
      setenv ('LDFLAGS', '-pthread');
      mex (includes{:}, '-o', fullfile (outdir, [name '.mex']), source, foundation{:});
    else
      mex (includes{:}, '-outdir', outdir, '-output', name, ...
           ['CXXFLAGS=$CXXFLAGS ' flags], 'CXXOPTIMFLAGS=-O2', ...
           'LDFLAGS=$LDFLAGS -pthread', source, foundation{:});
    end
    fprintf ('built %s\n', name);
  end
  % The help files go beside the binaries: the host reads a MEX file's help
  % from the .m of the same name in the same folder.
  copyfile (fullfile (root, 'matlab', '*.m'), outdir);
end

function restore (folder, scratch)
  cd (folder);
  if (exist ('OCTAVE_VERSION', 'builtin') ~= 0)
    confirm_recursive_rmdir (false, 'local');
  end
  rmdir (scratch, 's');
end
