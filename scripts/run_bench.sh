#!/usr/bin/env bash
# run_bench.sh BENCH_BUILD [MAIN_BUILD]: runs every benchmark program and
# every Octave comparison (against MAIN_BUILD/octave), and gathers their
# tables into MAIN_BUILD/bench/results.md.
set -euo pipefail
build=${1:-build-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
main=$(cd "${2:-$root/build}" && pwd)
out=$main/bench
mkdir -p "$out"
status=0
for program in "$build"/bench/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$out" || status=1
done
# Octave comparisons need the Octave MEX files of the main build.
if command -v octave-cli >/dev/null && [ -d "$main/octave" ]; then
  for script in "$root"/bench/octave_*.m; do
    [ -f "$script" ] || continue
    echo "== $(basename "$script")"
    (cd "$root/bench" && octave-cli --no-gui --norc --quiet --no-window-system \
       "$script" "$main/octave" "$out") || status=1
  done
fi
{
  echo "# regkern benchmarks ($(date -u +%Y-%m-%d), $(nproc) cores)"
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
