% build_mex_flags  The compiler options build_mex gives each compiler family.
%
%   [vars, family] = build_mex_flags ()          for this host's selected compiler
%   vars = build_mex_flags (family)              for 'msvc', 'mingw', 'gcc', 'clang'
%                                                or 'appleclang'
%   vars = build_mex_flags (family, version)     the same, after checking that
%                                                the compiler is new enough
%
% vars is an n x 2 cell of {NAME, VALUE}: the mex configuration variables
% that carry the options (MATLAB passes them as NAME=VALUE, where $NAME is
% the configuration's own value; Octave sets them as environment variables
% for mkoctfile). The options themselves, and why each is there, are in
% build_facts.txt, which every build reads. The families:
%   msvc        Microsoft's compiler (MATLAB on Windows): COMPFLAGS.
%   mingw       MinGW-w64 GCC (MATLAB's or Octave's on Windows): the GCC
%               options, with libgcc, the C++ runtime and winpthread linked
%               in, so each MEX file needs no MinGW DLL on the path.
%   gcc         GCC on Linux.
%   clang       LLVM's clang.
%   appleclang  Apple's clang on macOS (Xcode).
% A compiler older than the oldest with the C++17 the sources need (GCC 7,
% Visual Studio 2017, Xcode 10, ...) is refused with the build_mex:compilerTooOld
% error, which names the version found and the version needed.
function [vars, family] = build_mex_flags (family, version)
  facts = build_facts ();
  if (nargin < 1)
    [family, version] = selected_compiler ();
  end
  gnu = strjoin ([facts.gnu_cxxflags, facts.gnu_optimize], ' ');
  optimize = strjoin (facts.gnu_optimize, ' ');
  link = strjoin (facts.gnu_ldflags, ' ');
  switch (family)
    case 'msvc'
      % MATLAB's own OPTIMFLAGS already optimize with /O2.
      vars = {'COMPFLAGS', ['$COMPFLAGS ' strjoin(facts.msvc_cxxflags, ' ')]};
    case 'mingw'
      vars = {'CXXFLAGS', ['$CXXFLAGS ' gnu]; 'CXXOPTIMFLAGS', optimize; ...
              'LDFLAGS', ['$LDFLAGS ' link ' ' strjoin(facts.mingw_ldflags, ' ')]};
    case {'gcc', 'clang', 'appleclang'}
      vars = {'CXXFLAGS', ['$CXXFLAGS ' gnu]; 'CXXOPTIMFLAGS', optimize; ...
              'LDFLAGS', ['$LDFLAGS ' link]};
    otherwise
      error ('build_mex:unknownCompiler', ...
             'build_mex_flags: unknown compiler family "%s"; use msvc, mingw, gcc, clang or appleclang.', family);
  end
  if (nargin ~= 1)
    check_version (facts, family, version);
  end
end

function check_version (facts, family, version)
  switch (family)
    case 'msvc'
      [needed, compiler] = deal (facts.minimum_msvc{1}, 'Microsoft Visual Studio');
    case 'mingw'
      [needed, compiler] = deal (facts.minimum_gcc{1}, 'MinGW-w64 GCC');
    case 'gcc'
      [needed, compiler] = deal (facts.minimum_gcc{1}, 'GCC');
    case 'clang'
      [needed, compiler] = deal (facts.minimum_clang{1}, 'clang');
    case 'appleclang'
      [needed, compiler] = deal (facts.minimum_appleclang{1}, 'Apple clang (Xcode)');
  end
  % An unknown version is let through: the compiler then speaks for itself.
  major = sscanf (version, '%d', 1);
  if (~isempty (major) && major < str2double (needed))
    error ('build_mex:compilerTooOld', ...
           'build_mex: %s %s is too old; the plug-ins are C++17 and need %s %s or newer. Install a newer one and select it with "mex -setup C++".', ...
           compiler, version, compiler, needed);
  end
end

% The family and version of the compiler this host's mex uses.
function [family, version] = selected_compiler ()
  if (exist ('OCTAVE_VERSION', 'builtin') ~= 0)
    compiler = strtrim (mkoctfile ('-p', 'CXX'));
    [~, about] = system ([compiler ' --version']);
    clang = regexp (about, '(Apple )?clang version (\d+(\.\d+)*)', 'tokens', 'once');
    if (ispc ())
      family = 'mingw';
    elseif (isempty (clang))
      family = 'gcc';
    elseif (isempty (clang{1}))
      family = 'clang';
    else
      family = 'appleclang';
    end
    if (isempty (clang))
      [~, version] = system ([compiler ' -dumpversion']);
      version = strtrim (version);
    else
      version = clang{2};
    end
    return;
  end
  config = mex.getCompilerConfigurations ('C++', 'Selected');
  if (isempty (config))
    error ('build_mex:noCompiler', 'No C++ compiler is selected for mex: run "mex -setup C++" first.');
  end
  maker = lower (config.Manufacturer);
  name = lower (config.ShortName);
  version = config.Version;
  if (contains (maker, 'microsoft'))
    family = 'msvc';
  elseif (contains (name, 'mingw'))
    family = 'mingw';
  elseif (contains (maker, 'apple'))
    family = 'appleclang';
  elseif (contains (name, 'clang'))
    family = 'clang';
  elseif (contains (maker, 'gnu'))
    family = 'gcc';
  else
    error ('build_mex:unsupportedCompiler', ...
           'build_mex supports Microsoft''s compiler, MinGW-w64, GCC and clang, not %s (%s): select one with "mex -setup C++".', ...
           config.Name, config.Manufacturer);
  end
end
