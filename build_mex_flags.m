% build_mex_flags  The compiler options build_mex gives each compiler family.
%
%   [vars, family] = build_mex_flags ()        for this host's selected compiler
%   vars = build_mex_flags (family)            for 'msvc', 'mingw', 'gcc' or 'clang'
%
% vars is an n x 2 cell of {NAME, VALUE}: the mex configuration variables
% that carry the options (MATLAB passes them as NAME=VALUE, where $NAME is
% the configuration's own value; Octave sets them as environment variables
% for mkoctfile). The families:
%   msvc   Microsoft's compiler (MATLAB on Windows): COMPFLAGS with C++17,
%          /fp:precise and /EHsc. Never /fp:fast, /fp:contract, or an /arch:
%          that allows fused multiply-adds: they change results in the last bit.
%   mingw  MinGW-w64 GCC (MATLAB's or Octave's on Windows): the GCC options,
%          with the C++ runtime, libgcc and winpthread linked in (-static), so
%          each MEX file needs no MinGW DLL on the path.
%   gcc    GCC on Linux.
%   clang  clang on Linux and Apple's clang on macOS, which contract into
%          fused multiply-adds unless told not to.
function [vars, family] = build_mex_flags (family)
  if (nargin < 1)
    family = selected_family ();
  end
  % -fno-tree-slp-vectorize: GCC 12 vectorizes away the rounding of
  % neighbouring double -> float -> double conversions.
  gnu = '-std=c++17 -O2 -ffp-contract=off -fno-fast-math -fno-tree-slp-vectorize -pthread';
  switch (family)
    case 'msvc'
      vars = {'COMPFLAGS', '$COMPFLAGS /std:c++17 /fp:precise /EHsc'};
    case 'mingw'
      vars = {'CXXFLAGS', ['$CXXFLAGS ' gnu]; 'CXXOPTIMFLAGS', '-O2'; ...
              'LDFLAGS', '$LDFLAGS -pthread -static-libstdc++ -static-libgcc -static'};
    case {'gcc', 'clang'}
      vars = {'CXXFLAGS', ['$CXXFLAGS ' gnu]; 'CXXOPTIMFLAGS', '-O2'; ...
              'LDFLAGS', '$LDFLAGS -pthread'};
    otherwise
      error ('build_mex:unknownCompiler', ...
             'build_mex_flags: unknown compiler family "%s"; use msvc, mingw, gcc or clang.', family);
  end
end

% The family of the compiler this host's mex uses.
function family = selected_family ()
  if (exist ('OCTAVE_VERSION', 'builtin') ~= 0)
    compiler = mkoctfile ('-p', 'CXX');
    if (ispc ())
      family = 'mingw';
    elseif (~isempty (strfind (compiler, 'clang')))
      family = 'clang';
    else
      family = 'gcc';
    end
    return;
  end
  config = mex.getCompilerConfigurations ('C++', 'Selected');
  if (isempty (config))
    error ('build_mex:noCompiler', 'No C++ compiler is selected for mex: run "mex -setup C++" first.');
  end
  maker = lower (config.Manufacturer);
  name = lower (config.ShortName);
  if (contains (maker, 'microsoft'))
    family = 'msvc';
  elseif (contains (name, 'mingw'))
    family = 'mingw';
  elseif (contains (maker, 'apple') || contains (name, 'clang'))
    family = 'clang';
  elseif (contains (maker, 'gnu'))
    family = 'gcc';
  else
    error ('build_mex:unsupportedCompiler', ...
           'build_mex supports Microsoft''s compiler, MinGW-w64, GCC and clang, not %s (%s): select one with "mex -setup C++".', ...
           config.Name, config.Manufacturer);
  end
end
