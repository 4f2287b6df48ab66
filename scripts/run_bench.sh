#!/usr/bin/env bash
# run_bench.sh BENCH_BUILD [MAIN_BUILD]: runs every benchmark program (the
# stand-in host against the literal models), bench/octave_bench.m (the
# Octave MEX files of MAIN_BUILD from octave-cli), bench/inverse_bench.m (the
# field inverse against the image toolkit's) and bench/python_bench.py (the
# Python module of MAIN_BUILD), bench/chunked_bench.py (regkern.chunked on
# dask against the in-memory calls), and gathers their tables into
# MAIN_BUILD/bench/results.md. BENCH_SIZE=quick halves the edges of
# every workload (a check that everything runs, not figures to quote).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
main=$(cd "${2:-$root/build}" && pwd)
out=$main/bench
mkdir -p "$out"
rm -f "$out"/*.md
status=0
for program in "$build"/bench/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$out" "${BENCH_SIZE:-full}" || status=1
done
# The Octave timings need the Octave MEX files of the main build and the
# literal models built as MEX files in the bench build. glibc's allocator
# is tuned as a user who times code in Octave would tune it: freed memory
# stays with the process, so that each call's outputs do not come from fresh
# pages (whose first touch costs more than many plug-in calls on a virtual
# machine).
if command -v octave-cli >/dev/null && [ -d "$main/octave" ] && [ -d "$build/literal" ]; then
  echo "== octave_bench.m"
  (cd "$root/bench" && MALLOC_MMAP_THRESHOLD_=1073741824 MALLOC_TRIM_THRESHOLD_=4294967296 \
     octave-cli --no-gui --norc --quiet --no-window-system \
       octave_bench.m "$main/octave" "$build/literal" "$out" "${BENCH_SIZE:-full}") || status=1
  # Inverse fields: splatting and refinement against the image toolkit's
  # iterative inverse (bench/itk_invert, built when the toolkit is installed).
  echo "== inverse_bench.m"
  (cd "$root/bench" && MALLOC_MMAP_THRESHOLD_=1073741824 MALLOC_TRIM_THRESHOLD_=4294967296 \
     octave-cli --no-gui --norc --quiet --no-window-system \
       inverse_bench.m "$main/octave" "$build/bench/itk_invert" "$out" "${BENCH_SIZE:-full}") || status=1
else
  echo "octave-cli, $main/octave or $build/literal missing: no Octave timings" >&2
  status=1
fi
# The Python calls on the same workloads, beside the Octave table (read from
# it), with the interpreter the main build found NumPy and pybind11 with.
python=$(sed -n 's/^REGKERN_PYTHON_INTERPRETER:INTERNAL=//p' "$main/CMakeCache.txt" 2>/dev/null)
if [ -n "$python" ] && [ -d "$main/python/regkern" ]; then
  echo "== python_bench.py"
  PYTHONPATH=$main/python MALLOC_MMAP_THRESHOLD_=1073741824 MALLOC_TRIM_THRESHOLD_=4294967296 \
    "$python" "$root/bench/python_bench.py" "$out" "${BENCH_SIZE:-full}" || status=1
  # regkern.chunked against the in-memory calls (dask, dask.distributed)
  echo "== chunked_bench.py"
  PYTHONPATH=$main/python "$python" "$root/bench/chunked_bench.py" "$out" "${BENCH_SIZE:-full}" ||
    status=1
else
  echo "$main/python missing (configured with REGKERN_PYTHON=OFF?): no Python timings" >&2
  status=1
fi
{
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo 2>/dev/null | head -n 1)
  echo "# regkern benchmarks ($(date -u +%Y-%m-%d), $(nproc) cores: ${cpu:-unknown processor})"
  echo
  for table in "$out"/*.md; do
    [ "$(basename "$table")" = results.md ] && continue
    cat "$table"
    echo
  done
} > "$out/results.md.tmp"
mv "$out/results.md.tmp" "$out/results.md"
echo "Tables written to $out/results.md"
exit $status
