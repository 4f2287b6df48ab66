% build_mex.m builds every plug-in with Octave's own mex, and the result
% behaves like the CMake build; build_mex_flags gives each compiler family
% its own options. Its version check needs no compiler and is in the fast
% suite: test_build_mex_flags.m.

%!test
%! % the caller's compiler environment is used and then given back
%! root = getenv ('REGKERN_SOURCE_DIR');
%! out = tempname ();
%! addpath (root);
%! old = {getenv('CXXFLAGS'), getenv('LDFLAGS'), getenv('CXXOPTIMFLAGS')};
%! setenv ('CXXFLAGS', '-DREGKERN_CALLER_FLAG=1');
%! unsetenv ('LDFLAGS');
%! unsetenv ('CXXOPTIMFLAGS');
%! unwind_protect
%!   build_mex (out);
%!   assert (getenv ('CXXFLAGS'), '-DREGKERN_CALLER_FLAG=1');
%!   assert (getenv ('LDFLAGS'), '');
%!   assert (getenv ('CXXOPTIMFLAGS'), '');
%! unwind_protect_cleanup
%!   names = {'CXXFLAGS', 'LDFLAGS', 'CXXOPTIMFLAGS'};
%!   for k = 1:3
%!     setenv (names{k}, old{k});
%!   end
%! end_unwind_protect
%! names = regkern_functions (root);
%! for k = 1:numel (names)
%!   assert (isfile (fullfile (out, [names{k} '.mex'])), names{k});
%! end
%! % run one freshly built plug-in from its own folder
%! here = pwd ();
%! cd (out);
%! unwind_protect
%!   A = reshape (mod ((1:60) * 7, 11) / 10, 5, 4, 3);
%!   [oa, ob] = feval ('remap_vol_f64', A, A, A, A, [0 1], 11, ones (3, 3, 3), 3);
%!   assert (size (oa), [5 4 3]);
%!   assert (all (oa(:) >= 0 & oa(:) <= 1));
%! unwind_protect_cleanup
%!   cd (here);
%!   confirm_recursive_rmdir (false, 'local');
%!   rmdir (out, 's');
%! end_unwind_protect

%!test
%! % every compiler family: the options under the names its mex configuration
%! % reads, C++17, no contraction into fused multiply-adds, no fast-math
%! addpath (getenv ('REGKERN_SOURCE_DIR'));
%! value = @(vars, name) strjoin (vars(strcmp (vars(:, 1), name), 2)', ' ');
%! msvc = build_mex_flags ('msvc');
%! assert (msvc(:, 1)', {'COMPFLAGS'});
%! flags = value (msvc, 'COMPFLAGS');
%! assert (strncmp (flags, '$COMPFLAGS ', 11));
%! for wanted = {'/std:c++17', '/fp:precise', '/EHs'}
%!   assert (any (strcmp (strsplit (flags), wanted{1})), wanted{1});
%! end
%! % /EHsc would tell the compiler that extern "C" functions never throw
%! assert (isempty (regexp (flags, '/fp:fast|/fp:contract|/arch:|/EHsc|(^|\s)-', 'once')), flags);
%! for family = {'mingw', 'gcc', 'clang', 'appleclang'}
%!   vars = build_mex_flags (family{1});
%!   flags = value (vars, 'CXXFLAGS');
%!   assert (strncmp (flags, '$CXXFLAGS ', 10), family{1});
%!   for wanted = {'-std=c++17', '-O2', '-ffp-contract=off', '-fno-fast-math', '-pthread', '-Wno-psabi'}
%!     assert (! isempty (strfind (flags, wanted{1})), [family{1} ': ' wanted{1}]);
%!   end
%!   assert (isempty (regexp (flags, '-ffast-math|-Ofast|-ffp-contract=fast|-mfma', 'once')));
%!   assert (value (vars, 'CXXOPTIMFLAGS'), '-O2');
%!   link = strsplit (value (vars, 'LDFLAGS'));
%!   assert (any (strcmp (link, '-pthread')), family{1});
%!   % MinGW: libgcc, the C++ runtime and winpthread are linked in, and not
%!   % with -static, which would hide the hosts' import libraries
%!   assert (! any (strcmp (link, '-static')), family{1});
%!   standalone = all (ismember ({'-static-libstdc++', '-static-libgcc', '-lwinpthread'}, link));
%!   assert (standalone, strcmp (family{1}, 'mingw'));
%! end
%! [~, family] = build_mex_flags ();
%! assert (any (strcmp (family, {'gcc', 'clang'})), family);
