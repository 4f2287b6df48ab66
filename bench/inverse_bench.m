% inverse_bench.m MEXDIR TOOLKIT_PROGRAM OUTDIR [quick|full]
%
% How accurate and how fast an inverse of a smooth displacement field is made
% by the routes a user has, on one 128x128x96 field with displacements up to 4
% grid points (bump_field), from octave-cli:
%   - splatting alone (dispinvert_vol_f64, kernel 1);
%   - splatting, then refinement by the fixed-point step (the plug-ins in
%     MEXDIR), at 1 and 2 threads, medians of several runs;
%   - invert_field, the whole inverse in one compiled call, with each of its
%     methods (the fixed point and Newton's step), at 1 and 2 threads,
%     medians of the same runs, with the steps it took;
%   - splatting, then the same step written in plain Octave (interpn, b clamped
%     to the edge), once;
%   - the image toolkit's iterative inverse (TOOLKIT_PROGRAM, bench/itk_invert.cpp)
%     on 2 threads, once at its default settings and once at 100 iterations
%     without its boundary rule. It reads the field's bits from a raw file and
%     writes its inverse back, so one function, inverse_accuracy, scores all.
% The runs of each route are interleaved so that load on the shared machine
% falls on all alike. Writes OUTDIR/inverse.md; exits non-zero when a route
% fails, the refinement's or invert_field's bits differ between thread counts
% or invert_field's fixed point differs from the two calls timed. "quick" halves
% every edge (a check that everything runs, not figures to quote).
1;

% The fixed-point step as a user would write it in Octave: F(q) <- -b(q + F(q)),
% b sampled trilinearly with the point clamped into the grid.
function F = refine_octave (b, F, steps)
  dims = size (b{1});
  [x, y, z] = ndgrid (1:dims(1), 1:dims(2), 1:dims(3));
  for s = 1:steps
    qx = min (max (x + F{1}, 1), dims(1));
    qy = min (max (y + F{2}, 1), dims(2));
    qz = min (max (z + F{3}, 1), dims(3));
    F = cellfun (@(c) -interpn (c, qx, qy, qz, "linear"), b, "UniformOutput", false);
  endfor
endfunction

% Splatting with kernel 1, then the refinement plug-in; the seconds of each,
% on the clock and of processor time (all threads).
function [F, steps_done, splat_s, refine_s, splat_cpu, refine_cpu] = splat_refine (b, steps, tolerance)
  F = cell (1, 3);
  [start, cpu] = deal (tic (), cputime ());
  [F{:}] = dispinvert_vol_f64 (b{:}, 1);
  [splat_s, splat_cpu] = deal (toc (start), cputime () - cpu);
  [start, cpu] = deal (tic (), cputime ());
  [F{:}, ~, steps_done] = dispinvert_refine_vol_f64 (b{:}, F{:}, steps, tolerance);
  [refine_s, refine_cpu] = deal (toc (start), cputime () - cpu);
endfunction

% invert_field in one call; its seconds on the clock and of processor time.
function [F, info, seconds, cpu] = invert_once (b, steps, tolerance, method, threads)
  [start, cpu] = deal (tic (), cputime ());
  [F, info] = invert_field (b, "kernel", 1, "steps", steps, "tolerance", tolerance,
                            "method", method, "threads", threads);
  [seconds, cpu] = deal (toc (start), cputime () - cpu);
endfunction

function write_field (name, c)
  fid = fopen (name, "w");
  for k = 1:numel (c)
    fwrite (fid, c{k}, "double");
  endfor
  fclose (fid);
endfunction

function c = read_field (name, dims)
  fid = fopen (name, "r");
  v = fread (fid, Inf, "double");
  fclose (fid);
  n = prod (dims);
  if (numel (v) != 3 * n)
    error ("inverse_bench: %s holds %d values, not 3 x %d", name, numel (v), n);
  endif
  c = arrayfun (@(k) reshape (v((k-1)*n+1:k*n), dims), 1:3, "UniformOutput", false);
endfunction

% Runs the toolkit program on the field in `raw`; its Update() time on the
% clock and of processor time, its inverse, and the error text if it failed.
function [seconds, cpu, F, problem] = toolkit (program, raw, dims, threads, mode)
  seconds = cpu = NaN;  F = {};  problem = "";
  if (isempty (program) || ! exist (program, "file"))
    problem = "not built (libinsighttoolkit5-dev missing)";
    return;
  endif
  out = [tempname() ".raw"];
  [status, text] = system (sprintf ("\"%s\" \"%s\" \"%s\" %d %d %d %d %s", program, raw, out,
                                    dims, threads, mode));
  if (status != 0)
    problem = strtrim (text);
  else
    seconds = sscanf (text, "seconds %f");
    cpu = sscanf (text, "seconds %*f cpu_seconds %f");
    F = read_field (out, dims);
  endif
  unlink (out);
endfunction

function s = ms (seconds)
  s = merge (isnan (seconds), "-", sprintf ("%.1f", 1e3 * seconds));
endfunction

function s = row (name, threads, seconds, cpu, reference_s, a)
  if (isempty (a))
    figures = "- | - | - | - | -";
  else
    figures = sprintf ("%.6f | %.6f | %.4f | %.2e | %.2e", a.e_mean, a.e_p95, a.e_max,
                       a.r_mean, a.r_max);
  endif
  s = sprintf ("| %s | %s | %s | %s | %s | %s |", name, threads, ms (seconds), ms (cpu),
               merge (isnan (seconds) || isnan (reference_s), "-",
                      sprintf ("%.1fx", reference_s / seconds)), figures);
endfunction

function s = verdict (ok)
  s = merge (ok, "met", "NOT MET");
endfunction

args = argv ();
if (numel (args) < 3)
  error ("usage: inverse_bench.m MEXDIR TOOLKIT_PROGRAM OUTDIR [quick|full]");
endif
addpath (args{1});
program = args{2};
out_dir = args{3};
scale = 1 + (numel (args) > 3 && strcmp (args{4}, "quick"));
runs = 5;
% invert_field's defaults (20 steps at most, stop when max r <= 1e-4), and the
% largest residual the comparison with the toolkit allows (1e-3).
steps = 20;
tolerances = [1e-4 1e-3];
routes = numel (tolerances);
warning ("off", "Octave:maxNumCompThreads:no-effect");
threads_before = maxNumCompThreads ();

rand ("twister", 5);
dims = [128 128 96] / scale;
b = {bump_field(dims, 4), bump_field(dims, 4), bump_field(dims, 4)};
raw = [tempname() ".raw"];
write_field (raw, b);
failed = false;
notes = {};

F_splat = cell (1, 3);
[F_splat{:}] = dispinvert_vol_f64 (b{:}, 1);
have_refine = exist ("dispinvert_refine_vol_f64") != 0;
if (! have_refine)
  notes{end+1} = "dispinvert_refine_vol_f64 is not in the build: no refinement rows.";
endif

% Warm-up at each thread count, which also gives the results scored and checks
% that the thread count does not change the bits, nor the one-call function
% (invert_field, same steps) the bits of the two calls timed here.
steps_done = nan (1, routes);
F_ours = cell (1, routes);
methods = {"fixed", "newton"};
F_call = info_call = cell (routes, numel (methods));
for k = 1:routes * have_refine
  maxNumCompThreads (1);
  [F_ours{k}, steps_done(k)] = splat_refine (b, steps, tolerances(k));
  maxNumCompThreads (2);
  if (! isequal (F_ours{k}, splat_refine (b, steps, tolerances(k))))
    notes{end+1} = sprintf ("The refinement's bits DIFFER between 1 and 2 threads (tolerance %g).",
                            tolerances(k));
    failed = true;
  endif
  for j = 1:numel (methods)
    [F_call{k, j}, info_call{k, j}] = invert_once (b, steps, tolerances(k), methods{j}, 1);
    [F2, info2] = invert_once (b, steps, tolerances(k), methods{j}, 2);
    if (! isequal (F2, F_call{k, j}) || ! isequal (info2, info_call{k, j}))
      notes{end+1} = sprintf ("invert_field's bits DIFFER between 1 and 2 threads (%s, tolerance %g).",
                              methods{j}, tolerances(k));
      failed = true;
    endif
  endfor
  if (! isequal (F_ours{k}, F_call{k, 1}))
    notes{end+1} = sprintf ("invert_field's bits DIFFER from splat + refinement (tolerance %g).",
                            tolerances(k));
    failed = true;
  endif
endfor

% Our routes in every run, the toolkit's once each in the middle of the runs.
% run, threads, route, splat | refinement | splat's processor time | refinement's (seconds)
t = nan (runs, 2, routes, 4);
% run, threads, route, method, clock | processor time (seconds)
t_call = nan (runs, 2, routes, numel (methods), 2);
toolkit_s = toolkit_cpu = nan (1, 2);  toolkit_F = cell (1, 2);  modes = {"default", "100"};
for r = 1:runs
  for k = 1:routes * have_refine
    for threads = 1:2
      maxNumCompThreads (threads);
      [~, ~, t(r, threads, k, 1), t(r, threads, k, 2), t(r, threads, k, 3), t(r, threads, k, 4)] = ...
        splat_refine (b, steps, tolerances(k));
      for j = 1:numel (methods)
        [~, ~, t_call(r, threads, k, j, 1), t_call(r, threads, k, j, 2)] = ...
          invert_once (b, steps, tolerances(k), methods{j}, threads);
      endfor
    endfor
  endfor
  if (any (r == [2 3]))
    m = r - 1;
    [toolkit_s(m), toolkit_cpu(m), toolkit_F{m}, problem] = toolkit (program, raw, dims, 2, modes{m});
    if (! isempty (problem))
      notes{end+1} = sprintf ("Toolkit (%s): %s", modes{m}, problem);
      failed = failed || exist (program, "file");
    endif
  endif
endfor
maxNumCompThreads (2);
octave_s = octave_cpu = NaN;
if (have_refine)
  [start, cpu] = deal (tic (), cputime ());
  F_octave = cell (1, 3);
  [F_octave{:}] = dispinvert_vol_f64 (b{:}, 1);
  F_octave = refine_octave (b, F_octave, steps_done(1));
  [octave_s, octave_cpu] = deal (toc (start), cputime () - cpu);
endif
maxNumCompThreads (threads_before);
unlink (raw);

m = reshape (median (t, 1), [2, routes, 4]);  % threads, route, as t
m_call = reshape (median (t_call, 1), [2, routes, numel(methods), 2]);
t100 = toolkit_s(2);
a_100 = a_octave = a_default = [];
if (! isempty (toolkit_F{1}))
  a_default = inverse_accuracy (b, toolkit_F{1});
endif
if (! isempty (toolkit_F{2}))
  a_100 = inverse_accuracy (b, toolkit_F{2});
endif
splat_name = "splat, kernel 1 (dispinvert_vol_f64)";
a_splat = inverse_accuracy (b, F_splat);
rows = {row(splat_name, "1", median (m(1, :, 1)), median (m(1, :, 3)), t100, a_splat), ...
        row(splat_name, "2", median (m(2, :, 1)), median (m(2, :, 3)), t100, a_splat)};
checks = {};
for k = 1:routes * have_refine
  a = inverse_accuracy (b, F_ours{k});
  name = sprintf ("splat + refinement, tolerance %g (%d steps)", tolerances(k), steps_done(k));
  total = m(:, k, 1) + m(:, k, 2);
  cpu = m(:, k, 3) + m(:, k, 4);
  rows(end+1:end+2) = {row(name, "1", total(1), cpu(1), t100, a), row(name, "2", total(2), cpu(2), t100, a)};
  if (isempty (a_100))
    continue;
  endif
  mean_off = abs (a.e_mean / a_100.e_mean - 1);
  p95_off = abs (a.e_p95 / a_100.e_p95 - 1);
  speedup = m(1, k, 2) / m(2, k, 2);
  checks(end+1:end+5) = {sprintf("Tolerance %g:", tolerances(k)), ...
    sprintf("- e mean and p95 within 1 %% of the toolkit's: %.3f %% and %.3f %% off: %s",
            100 * mean_off, 100 * p95_off, verdict (mean_off <= 0.01 && p95_off <= 0.01)), ...
    sprintf("- max r over the interior at most 1e-3: %.2e: %s", a.r_max, verdict (a.r_max <= 1e-3)), ...
    sprintf("- at most 1/100 of the toolkit's time, both on 2 threads: %.1f ms against %.1f ms, 1/%.0f: %s",
            1e3 * total(2), 1e3 * t100, t100 / total(2), verdict (total(2) <= t100 / 100)), ...
    sprintf("- refinement at 2 threads at least 1.8x its speed at 1: %.1f ms against %.1f ms, %.3fx: %s",
            1e3 * m(2, k, 2), 1e3 * m(1, k, 2), speedup, verdict (speedup >= 1.8))};
endfor
for k = 1:routes * have_refine
  for j = 1:numel (methods)
    a = inverse_accuracy (b, F_call{k, j});
    i = info_call{k, j};
    name = sprintf ("invert_field, %s, tolerance %g (%d steps, %d passes)", methods{j},
                    tolerances(k), i.steps, i.steps + 1);
    rows(end+1:end+2) = {row(name, "1", m_call(1, k, j, 1), m_call(1, k, j, 2), t100, a), ...
                         row(name, "2", m_call(2, k, j, 1), m_call(2, k, j, 2), t100, a)};
    if (isempty (a_100))
      continue;
    endif
    mean_off = abs (a.e_mean / a_100.e_mean - 1);
    p95_off = abs (a.e_p95 / a_100.e_p95 - 1);
    whole = m_call(2, k, j, 1);
    checks{end+1} = sprintf("- invert_field, %s: e mean and p95 %.3f %% and %.3f %% off the toolkit's, max r %.2e, %.1f ms on 2 threads, 1/%.0f of the toolkit's time: %s",
                            methods{j}, 100 * mean_off, 100 * p95_off, a.r_max, 1e3 * whole, t100 / whole,
                            verdict (mean_off <= 0.01 && p95_off <= 0.01 && a.r_max <= 1e-3 && whole <= t100 / 100));
  endfor
endfor
if (have_refine)
  rows{end+1} = row(sprintf("splat + %d steps in plain Octave (interpn)", steps_done(1)), "2 (splat)",
                    octave_s, octave_cpu, t100, inverse_accuracy (b, F_octave));
endif
rows(end+1:end+2) = {row("toolkit, default settings", "2", toolkit_s(1), toolkit_cpu(1), t100, a_default), ...
                     row("toolkit, 100 iterations, no boundary rule", "2", t100, toolkit_cpu(2), t100, a_100)};
[~, load_text] = system ("cat /proc/loadavg 2>/dev/null");
text = {"## Inverse of a displacement field: refinement against the image toolkit", "", ...
        sprintf("%dx%dx%d field of smooth bumps up to 4 grid points (bench/bump_field.m, rand twister 5), from octave-cli %s; load average at the end: %s.", ...
                dims, version (), strtrim (load_text)), ...
        sprintf("Splat and refinement (dispinvert_refine_vol_f64, at most %d steps, stopping when max r over the grid <= the tolerance): medians of %d runs after a warm-up, the two calls timed apart and added. Processor time: of all threads (Octave's cputime, the toolkit's std::clock), a measure of work that load on the machine disturbs less than the clock. Plain Octave and the toolkit: one run each; the toolkit's Update() alone, through bench/itk_invert (libinsighttoolkit5-dev, itk::InvertDisplacementFieldImageFilter, global threads and work units 2).", ...
                steps, runs), ...
        "Accuracy (bench/inverse_accuracy.m, interior points at least 3 from every face, fields sampled trilinearly and clamped to the edge): e(p) = |F(p + b(p)) + b(p)|, r(q) = |F(q) + b(q + F(q))|, in grid points.", "", ...
        "| inverse | threads | time (ms) | processor time (ms) | toolkit 100 it. / this | e mean | e p95 | e max | r mean | r max |", ...
        "|---|---|---|---|---|---|---|---|---|---|", rows{:}, ""};
if (! isempty (checks))
  text = [text, {"Against the toolkit's 100 iterations in this run (the refinement's own medians in the last line of each):", ""}, checks, {""}];
endif
if (! isempty (notes))
  text = [text, cellfun(@(s) ["- " s], notes, "UniformOutput", false)];
endif
printf ("%s\n", text{:});
fid = fopen (fullfile (out_dir, "inverse.md"), "w");
fprintf (fid, "%s\n", text{:});
fclose (fid);
exit (failed);
