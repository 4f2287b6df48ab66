#!/usr/bin/env bash
# Hardening checks that `make test` runs after the main suite:
#
#   sanitize  the whole C++ suite under AddressSanitizer + UndefinedBehavior-
#             Sanitizer (LeakSanitizer included, so every error-case test
#             also proves that its failed call leaks nothing; float-cast-
#             overflow named as well, since GCC's "undefined" leaves out the
#             check that a value converted to an integer is finite and in
#             range), and the tests of the threaded plug-ins (the remapping
#             tests and the field-inversion test of every vector path and
#             worker count, which run several thread counts) under
#             ThreadSanitizer;
#   fuzz      one libFuzzer target per plug-in family, each for a bounded
#             time, starting from the seed corpus in fuzz/corpus/.
#
# Usage: scripts/extra_checks.sh [sanitize|fuzz|all]   (default: all)
# Environment: BUILD (build directory prefix, default "build"), JOBS (default
# nproc), FUZZ_SECONDS (per target, default 60).
#
# Prints one summary line per stage and exits non-zero if any stage failed.
# Stage logs are kept in $BUILD-checks/.
set -u
cd "$(dirname "$0")/.."

what=${1:-all}
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
ASAN_DIR=$BUILD-asan
TSAN_DIR=$BUILD-tsan
FUZZ_DIR=$BUILD-fuzz
LOGS=$BUILD-checks
mkdir -p "$LOGS"

# A failed allocation returns NULL (the plug-ins must turn it into an error),
# and no single allocation may exceed 4 GiB: the tests that probe for room to
# reserve 2^31 elements then skip instead of making the sanitizer shadow
# tens of gigabytes.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=4096:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

summary=()
failed=0

# stage NAME COMMAND...: runs the command with its output in $LOGS/NAME.log
# and records one summary line; the log's tail is shown when it fails.
stage() {
  local name=$1
  shift
  local log=$LOGS/$name.log
  local start=$SECONDS
  echo "== $name: $*"
  if "$@" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed=1
    tail -n 60 "$log"
  fi
  summary+=("$(printf '%-22s %-7s %5ds' "$name" "$result" $((SECONDS - start)))")
  echo "== ${summary[-1]}"
}

# configure_and_build DIR CMAKE-ARGS... -- TARGETS...: no Octave build in these
# trees; an empty target list builds everything.
configure_and_build() {
  local dir=$1
  shift
  local args=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  cmake -S . -B "$dir" -DREGKERN_OCTAVE=OFF "${args[@]}" || return 1
  if [ $# -gt 0 ]; then
    cmake --build "$dir" -j"$JOBS" --target "$@"
  else
    cmake --build "$dir" -j"$JOBS"
  fi
}

# LeakSanitizer is silently off in some environments (under ptrace, for one);
# a clean leak report only counts when a deliberate leak is caught.
leak_detection_live() {
  local probe=$ASAN_DIR/lsan_probe
  printf '#include <cstdlib>\nvoid* volatile p;\nint main() { p = std::malloc(40); p = nullptr; }\n' \
    >"$probe.cpp"
  ${CXX:-c++} -fsanitize=address -g "$probe.cpp" -o "$probe" || return 1
  local report
  if report=$("$probe" 2>&1); then
    echo "a deliberate leak went unreported"
    return 1
  fi
  echo "$report" | grep -q "detected memory leaks"
}

# The GoogleTest programs and the shared-case writers, which call every
# plug-in too.
run_asan_suite() {
  (cd "$ASAN_DIR" && ctest --output-on-failure -j"$JOBS" -R '^(cpp|cases)\.')
}

run_tsan_threaded_tests() {
  local t
  for t in test_remap test_remap_faults test_dispinvert_paths; do
    "$TSAN_DIR/tests/$t" || return 1
  done
}

# Sanitizer builds at -O1 (with -g from the Debug type): quicker to compile
# than -O2, and what the sanitizers are meant to run at.
SANITIZER_FLAGS=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1)

sanitize() {
  stage asan-build configure_and_build "$ASAN_DIR" "${SANITIZER_FLAGS[@]}" \
    -DREGKERN_SANITIZE=address,undefined,float-cast-overflow --
  [ "$result" = ok ] || return
  stage lsan-alive leak_detection_live
  stage asan-cpp-suite run_asan_suite
  stage tsan-build configure_and_build "$TSAN_DIR" "${SANITIZER_FLAGS[@]}" -DREGKERN_SANITIZE=thread -- \
    test_remap test_remap_faults test_dispinvert_paths
  [ "$result" = ok ] || return
  stage tsan-threads run_tsan_threaded_tests
}

# fuzz_target FAMILY: one bounded run; new inputs go to a scratch corpus in
# the build tree, the checked-in seeds are only read.
fuzz_target() {
  local family=$1
  local work=$FUZZ_DIR/corpus/$family
  mkdir -p "$work" "$FUZZ_DIR/artifacts"
  "$FUZZ_DIR/fuzz/fuzz_$family" -max_total_time="$FUZZ_SECONDS" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_DIR/artifacts/$family-" "$work" "fuzz/corpus/$family"
}

fuzz() {
  stage fuzz-build configure_and_build "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    -DREGKERN_FUZZ=ON -DREGKERN_SANITIZE=address,undefined -DREGKERN_TESTS=OFF --
  [ "$result" = ok ] || return
  # The three targets run side by side; each gets its own log.
  local family pids=() start=$SECONDS
  for family in remap dispinvert jointbins; do
    fuzz_target "$family" >"$LOGS/fuzz-$family.log" 2>&1 &
    pids+=($!)
  done
  local i=0
  for family in remap dispinvert jointbins; do
    local log=$LOGS/fuzz-$family.log runs
    if wait "${pids[$i]}"; then
      result=ok
    else
      result=FAILED
      failed=1
      grep -v '^ *#[0-9]' "$log" | tail -n 40
      local crash
      crash=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
      # Show the call the crashing input decodes to.
      [ -n "$crash" ] && FUZZ_SHOW=1 "$FUZZ_DIR/fuzz/fuzz_$family" "$crash" 2>&1 |
        grep -E '^(  input|[a-z_0-9]+, nlhs|\*\*\*)' | head -n 20
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$(printf '%-22s %-7s %5ds  %s executions' "fuzz-$family" "$result" \
      $((SECONDS - start)) "${runs:-?}")")
    echo "== ${summary[-1]}"
    i=$((i + 1))
  done
}

case $what in
  sanitize) sanitize ;;
  fuzz) fuzz ;;
  all) sanitize; fuzz ;;
  *) echo "usage: $0 [sanitize|fuzz|all]" >&2; exit 2 ;;
esac

echo
echo "Hardening checks ($what), logs in $LOGS/:"
printf '  %s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "extra checks: FAILED"
  exit 1
fi
echo "extra checks: all passed"
