% build_mex  Build the regkern plug-ins with this host's own mex command.
%
%   build_mex            builds into <toolbox>/build/mex
%   build_mex (outdir)   builds into outdir
%
% Works in MATLAB (with Microsoft's compiler, MinGW-w64, GCC or Apple's
% clang) and in GNU Octave. Every plug-in is compiled as C++17 with -O2 and no
% contraction into fused multiply-adds (-ffp-contract=off, or /fp:precise for
% Microsoft's compiler): those would change the results in the last bit, so
% fast-math style options must never be added. build_mex_flags gives the
% options of each compiler family from build_facts.txt, and refuses a
% compiler too old for C++17.
function build_mex (outdir)
  root = fileparts (mfilename ('fullpath'));
  if (nargin < 1)
    outdir = fullfile (root, 'build', 'mex');
  end
  if (~exist (outdir, 'dir'))
    mkdir (outdir);
  end
  % The plug-ins, the shared helpers and the MEX front end are listed in
  % build_facts.txt.
  facts = build_facts ();
  foundation = fullfile (root, [facts.foundation_sources, facts.mex_sources]);
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
  for k = 1:numel (facts.plugins)
    [family, name] = fileparts (facts.plugins{k});
    source = fullfile (root, family, [name '.cpp']);
    includes = {['-I' fullfile(root, 'foundation')], ['-I' fullfile(root, 'mex')], ...
                ['-I' fullfile(root, family)]};
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
