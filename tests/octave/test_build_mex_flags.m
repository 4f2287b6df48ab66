% build_mex_flags' version check, which needs no compiler: the oldest
% compiler of each family with the C++17 the sources use (GCC 7, clang 5,
% Visual Studio 2017, Xcode 10) is accepted and the one before it refused.
% (test_build_mex.m, slow, compiles the plug-ins with each option set.)

%!test
%! % a compiler too old for C++17 is refused by name and version; the oldest
%! % allowed ones and an unreadable version pass
%! addpath (getenv ('REGKERN_SOURCE_DIR'));
%! for refused = {'mingw', '6.3.0', 'MinGW-w64 GCC 6.3.0', 'GCC 7'; 'gcc', '6.5.0', 'GCC 6.5.0', 'GCC 7';
%!                'gcc', '4.8.5', 'GCC 4.8.5', 'GCC 7';
%!                'msvc', '14.0', 'Visual Studio 14.0', 'Visual Studio 15'; 'clang', '4.0.1', 'clang 4.0.1', 'clang 5';
%!                'appleclang', '9.1.0', '(Xcode) 9.1.0', '(Xcode) 10'}'
%!   try
%!     build_mex_flags (refused{1}, refused{2});
%!     error ('no error for %s %s', refused{1}, refused{2});
%!   catch err
%!     assert (err.identifier, 'build_mex:compilerTooOld', err.message);
%!     assert (! isempty (strfind (err.message, refused{3})), err.message);
%!     assert (! isempty (strfind (err.message, [refused{4} ' or newer'])), err.message);
%!   end
%! end
%! for allowed = {'mingw', '7.1.0'; 'gcc', '7.1.0'; 'gcc', '12'; 'msvc', '15.0'; 'clang', '5.0.0';
%!                'appleclang', '10.0.0'; 'gcc', ''}'
%!   build_mex_flags (allowed{1}, allowed{2});
%! end
%!error <unknown compiler family> build_mex_flags ('icc')
