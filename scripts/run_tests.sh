#!/usr/bin/env bash
# The quiet test runs behind `make check` and `make test`:
#
#   check  configure, build, and the fast ctest suite (C++ and Octave; the
#          tests labelled "slow", which compile the plug-ins again, left out)
#   test   configure, build, every ctest test, then the hardening checks of
#          scripts/extra_checks.sh (sanitizers, fuzzing)
#
# Build and test output goes to logs in $BUILD/logs/ and is shown only for
# what failed. The last line is always "N passed, M failed", counting the
# ctest tests and the hardening-check stages (a failed configure or build
# counts as one failure); the exit status is 0 only when M is 0.
#
# Environment: BUILD (build directory, default "build"), JOBS (default nproc).
set -u
cd "$(dirname "$0")/.."

mode=${1:-check}
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
LOGS=$BUILD/logs
start=$SECONDS
passed=0
failed=0

finish() {
  echo "make $mode: $((SECONDS - start)) s, logs in $LOGS/"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# step NAME COMMAND...: runs the command with its output in $LOGS/NAME.log;
# shows the end of the log when it fails.
step() {
  local name=$1
  shift
  if ! "$@" >"$LOGS/$name.log" 2>&1; then
    echo "== $name FAILED ($LOGS/$name.log):"
    tail -n 40 "$LOGS/$name.log"
    return 1
  fi
}

case $mode in
  check) labels=(-LE slow) ;;
  test) labels=() ;;
  *) echo "usage: $0 [check|test]" >&2; exit 2 ;;
esac

mkdir -p "$LOGS"
echo "== building ($LOGS/build.log)"
if ! step configure cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release ||
   ! step build cmake --build "$BUILD" -j"$JOBS"; then
  failed=1
  finish
fi
echo "== built ($((SECONDS - start)) s)"

# ctest with the output of failed tests only; its summary line gives the
# counts ("95% tests passed, 1 tests failed out of 22").
ctest_log=$LOGS/ctest.log
(cd "$BUILD" && ctest --output-on-failure -j"$JOBS" "${labels[@]}") >"$ctest_log" 2>&1
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$ctest_log" | tail -n 1)
if [ -z "$summary" ]; then
  echo "== ctest gave no summary ($ctest_log):"
  tail -n 40 "$ctest_log"
  failed=$((failed + 1))
else
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$bad" -gt 0 ]; then
    echo "== ctest: $bad of $total failed ($ctest_log):"
    grep -vE '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' "$ctest_log"
  fi
  echo "== ctest: $((total - bad)) of $total passed ($((SECONDS - start)) s)"
  # Tests that skip a part say why on a line of their output ("skipped: ...").
  grep -hE '^skipped: ' "$BUILD/Testing/Temporary/LastTest.log" 2>/dev/null | sort -u | sed 's/^/== /'
fi

if [ "$mode" = test ] && [ -x scripts/extra_checks.sh ]; then
  # One line per stage in the checks' own summary: "  name  ok|FAILED  12s".
  checks_log=$LOGS/extra_checks.log
  BUILD=$BUILD JOBS=$JOBS scripts/extra_checks.sh >"$checks_log" 2>&1
  status=$?
  stages=$(sed -n '/^Hardening checks/,$p' "$checks_log" | grep -E '^  [a-z0-9-]+ +(ok|FAILED) ')
  ok=$(echo "$stages" | grep -cE '^  [a-z0-9-]+ +ok ')
  bad=$(echo "$stages" | grep -cE '^  [a-z0-9-]+ +FAILED ')
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  passed=$((passed + ok))
  failed=$((failed + bad))
  if [ "$bad" -gt 0 ]; then
    echo "== hardening checks failed ($checks_log):"
    cat "$checks_log"
  else
    echo "$stages" | sed 's/^  /== /'
  fi
fi
finish
