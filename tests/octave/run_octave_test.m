% Runs the %!test blocks of one tests/octave file; exits non-zero on any
% failure or when the file holds no test.
% Arguments: test name, Octave MEX folder, shared-case folder, source root.
args = argv ();
name = args{1};
addpath (args{2});
addpath (fileparts (mfilename ('fullpath')));
setenv ('REGKERN_SHARED_CASES', args{3});
setenv ('REGKERN_SOURCE_DIR', args{4});
[passed, total, ~, ~, skipped, skipped_at_run_time] = test (name, 'quiet', stdout);
printf ('%s: %d passed, %d failed, %d skipped\n', name, passed, total - passed, skipped + skipped_at_run_time);
exit (total == 0 || passed != total);
