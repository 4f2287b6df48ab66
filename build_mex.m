% build_mex  Build the regkern plug-ins with this host's own mex command.
%
%   build_mex            builds into <toolbox>/build/mex
%   build_mex (outdir)   builds into outdir
%
% Works in MATLAB (with Microsoft's compiler, MinGW-w64, GCC or Apple's
% clang) and in GNU Octave. Every plug-in is compiled as C++17 with -O2 and no
% contraction into fused multiply-adds (-ffp-contract=off, or /fp:precise for
% Microsoft's compiler): those would change the results in the last bit, so
% fast-math style options must never be added. build_mex_flags holds the
% options of each compiler family.
function build_mex (outdir)
  root = fileparts (mfilename ('fullpath'));
  if (nargin < 1)
    outdir = fullfile (root, 'build', 'mex');
  end
  if (~exist (outdir, 'dir'))
    mkdir (outdir);
  end
  foundation = {fullfile(root, 'foundation', 'failure.cpp'), ...
                fullfile(root, 'foundation', 'host_args.cpp'), ...
                fullfile(root, 'foundation', 'memory.cpp'), ...
                fullfile(root, 'foundation', 'plain_array.cpp')};
  plugins = {'remap', 'remap_vol_f32'; 'remap', 'remap_vol_f64'; 'remap', 'remap_plane_f64';
             'dispinvert', 'dispinvert_vol_f64'; 'dispinvert', 'dispinvert_vol_f32';
             'dispinvert', 'dispinvert_plane_f64';
             'dispinvert', 'dispinvert_refine_vol_f64'; 'dispinvert', 'dispinvert_refine_vol_f32';
             'dispinvert', 'dispinvert_refine_plane_f64';
             'jointbins', 'jointbins_f64'; 'jointbins', 'jointbins_f32'};
  [vars, compiler] = build_mex_flags ();
  fprintf ('build_mex: options for %s\n', compiler);
  is_octave = exist ('OCTAVE_VERSION', 'builtin') ~= 0;
  if (is_octave)
    % mkoctfile reads the options from the environment: set them for the
    % build and give the caller's values back afterwards.
    if (~ispc ())
      vars{strcmp (vars(:, 1), 'CXXFLAGS'), 2} = [vars{strcmp (vars(:, 1), 'CXXFLAGS'), 2} ' -fPIC'];
    end
    saved = vars(:, 1);
    saved(:, 2) = cellfun (@getenv, vars(:, 1), 'UniformOutput', false);
    environment = onCleanup (@() restore_environment (saved));
    for k = 1:size (vars, 1)
      setenv (vars{k, 1}, strrep (vars{k, 2}, ['$' vars{k, 1}], saved{k, 2}));
    end
  else
    assignments = strcat (vars(:, 1), '=', vars(:, 2))';
  end
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
      mex (includes{:}, '-o', fullfile (outdir, [name '.mex']), source, foundation{:});
    else
      mex (includes{:}, '-outdir', outdir, '-output', name, assignments{:}, ...
           source, foundation{:});
    end
    fprintf ('built %s\n', name);
  end
  % The help files go beside the binaries: the host reads a MEX file's help
  % from the .m of the same name in the same folder.
  copyfile (fullfile (root, 'matlab', '*.m'), outdir);
end

function restore_environment (saved)
  for k = 1:size (saved, 1)
    if (isempty (saved{k, 2}))
      unsetenv (saved{k, 1});
    else
      setenv (saved{k, 1}, saved{k, 2});
    end
  end
end

function restore (folder, scratch)
  cd (folder);
  if (exist ('OCTAVE_VERSION', 'builtin') ~= 0)
    confirm_recursive_rmdir (false, 'local');
  end
  rmdir (scratch, 's');
end
