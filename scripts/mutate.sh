#!/usr/bin/env bash
# Mutation check: is the code held by the tests? Applies each small mutation
# of a list (default scripts/mutations.txt) to the source tree, one at a time,
# rebuilds what the mutation's tests need (incrementally, in its own build
# directory, stand-in host only unless a test is an Octave or Python one:
# the Python module is rebuilt and the package's .py files copied again, so
# a fault in the Python layer is caught like any other), runs those
# ctest entries and restores the file. A mutation the tests notice (a failing
# test, a timeout or a crash) is killed; one they do not notice survived and
# marks behaviour no test holds.
#
# Usage: scripts/mutate.sh [-l LIST] [FILTER]
#   FILTER  run only the mutations whose file or description matches this
#           extended regular expression, e.g. 'remap/|epsilon'
# Environment: BUILD (prefix, default "build"; the directory is $BUILD-mutate),
# JOBS (default nproc), MUTATE_TIMEOUT (seconds per ctest entry, default 300).
#
# List format: blocks separated by blank lines, '#' lines are comments.
#   file:    path from the repository root
#   find:    the exact original text (one line's worth; must occur exactly once)
#   replace: what it becomes (may be empty)
#   tests:   ctest regular expression of the entries to run
#   why:     one line: what the mutation breaks
# Text after "find: " and "replace: " is taken verbatim (up to the line end),
# except that \n stands for a line break (the next line's indentation
# included), so that a mutation can be pinned by the line before it.
#
# The mutated file is always restored: after each mutation, on Ctrl-C and on
# any exit. A copy of it is kept in $BUILD-mutate/pending while it is
# mutated, and a run that finds one (left by a killed run) restores it first.
#
# Exit status: 0 when every mutation applied and was killed, 1 otherwise.
set -u
cd "$(dirname "$0")/.."

LIST=scripts/mutations.txt
if [ "${1:-}" = -l ]; then
  LIST=$2
  shift 2
fi
FILTER=${1:-}
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
TIMEOUT=${MUTATE_TIMEOUT:-300}
DIR=$BUILD-mutate
PENDING=$DIR/pending
LOGS=$DIR/logs
mkdir -p "$DIR" "$LOGS"

# One run at a time: two runs would mutate the same tree.
LOCK=$DIR/lock
if ! mkdir "$LOCK" 2>/dev/null; then
  echo "mutate: another run holds $LOCK (remove it if none is running)" >&2
  exit 2
fi

# restore_pending: puts back the file whose original is held in $PENDING.
restore_pending() {
  if [ -f "$PENDING/path" ]; then
    local path
    path=$(cat "$PENDING/path")
    cp "$PENDING/original" "$path" && rm -f "$PENDING/path" "$PENDING/original"
  fi
}

cleanup() {
  restore_pending
  rmdir "$LOCK" 2>/dev/null
}
trap cleanup EXIT
trap 'echo; echo "mutate: interrupted, source restored"; exit 130' INT TERM HUP

mkdir -p "$PENDING"
if [ -f "$PENDING/path" ]; then
  echo "mutate: restoring $(cat "$PENDING/path"), left mutated by an interrupted run"
  restore_pending
fi

# ---- the list ----------------------------------------------------------------

files=() finds=() replaces=() tests=() whys=()
parse_list() {
  local line key value f="" fi="" r="" t="" w="" have_find=0 have_replace=0 n=0
  flush() {
    if [ -n "$f$fi$t$w" ]; then
      if [ -z "$f" ] || [ $have_find -eq 0 ] || [ $have_replace -eq 0 ] || [ -z "$t" ] || [ -z "$w" ]; then
        echo "mutate: $LIST: incomplete entry before line $n (needs file, find, replace, tests, why)" >&2
        exit 2
      fi
      files+=("$f") finds+=("$fi") replaces+=("$r") tests+=("$t") whys+=("$w")
    fi
    f="" fi="" r="" t="" w="" have_find=0 have_replace=0
  }
  while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    case $line in
      '#'*) continue ;;
      '') flush; continue ;;
    esac
    key=${line%%:*}
    value=${line#*:}
    value=${value# }
    case $key in
      file) f=$value ;;
      find) fi=$value; have_find=1 ;;
      replace) r=$value; have_replace=1 ;;
      tests) t=$value ;;
      why) w=$value ;;
      *) echo "mutate: $LIST:$n: unknown key '$key'" >&2; exit 2 ;;
    esac
  done <"$LIST"
  flush
}
parse_list

selected=()
for i in "${!files[@]}"; do
  if [ -z "$FILTER" ] || [[ "${files[$i]} ${whys[$i]}" =~ $FILTER ]]; then selected+=("$i"); fi
done
if [ ${#selected[@]} -eq 0 ]; then
  echo "mutate: no mutation matches '$FILTER'" >&2
  exit 2
fi

# occurrences FILE TEXT: how often TEXT occurs in FILE.
occurrences() {
  FIND=$2 perl -0777 -ne '($f = $ENV{FIND}) =~ s/\\n/\n/g; $n = () = /\Q$f\E/g; print $n' "$1"
}

# mutate FILE FIND REPLACE: the one occurrence replaced, the original kept.
mutate() {
  cp "$1" "$PENDING/original"
  printf '%s' "$1" >"$PENDING/path"
  FIND=$2 REPLACE=$3 perl -0777 -pi -e '
    ($f = $ENV{FIND}) =~ s/\\n/\n/g;
    ($r = $ENV{REPLACE}) =~ s/\\n/\n/g;
    s/\Q$f\E/$r/' "$1"
}

# ---- the build -----------------------------------------------------------------

# The Python tests replay calls the Octave suite writes (their fixtures), so
# a python.* entry needs the Octave plug-ins as well as the module.
need_octave=0 need_python=0
for i in "${selected[@]}"; do
  [[ ${tests[$i]} == *octave* ]] && need_octave=1
  [[ ${tests[$i]} == *python* ]] && need_octave=1 need_python=1
done
octave_option=OFF python_option=OFF
[ $need_octave -eq 1 ] && octave_option=ON
[ $need_python -eq 1 ] && python_option=ON

echo "== configuring $DIR (Octave plug-ins: $octave_option, Python module: $python_option)"
# Built with the check that a value converted to an integer is finite and in
# range: a dropped guard whose undefined conversion happens to give a
# harmless value on this processor is then caught too.
# REGKERN_PYTHON is given, not left to follow REGKERN_OCTAVE: its default
# applies only on the first configure of the directory.
if ! cmake -S . -B "$DIR" -DCMAKE_BUILD_TYPE=Release -DREGKERN_OCTAVE=$octave_option \
  -DREGKERN_PYTHON=$python_option \
  -DREGKERN_SANITIZE=float-cast-overflow \
  >"$LOGS/configure.log" 2>&1; then
  tail -n 30 "$LOGS/configure.log"
  exit 2
fi

# targets_for REGEX: the build targets behind the ctest entries REGEX selects
# (a GoogleTest program per cpp.* entry; the Octave plug-ins and the shared
# case writers for octave.* entries; for python.* entries the module with
# the package's .py files copied beside it, regkern_python, and the Octave
# side whose suites write the calls the Python tests replay).
targets_for() {
  local name targets=()
  while read -r name; do
    case $name in
      cpp.*|cases.*) targets+=("${name#*.}") ;;
      octave.*) targets+=(octave_plugins shared_cases_remap shared_cases_dispinvert shared_cases_jointbins) ;;
      python.*) targets+=(regkern_python octave_plugins shared_cases_remap shared_cases_dispinvert shared_cases_jointbins) ;;
    esac
  done < <(cd "$DIR" && ctest -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: //p')
  printf '%s\n' "${targets[@]}" | sort -u
}

# build_and_test REGEX LOG: 0 when every selected entry passes; 3 when the
# build fails; 4 when the regex selects no entry.
build_and_test() {
  local targets
  mapfile -t targets < <(targets_for "$1")
  [ ${#targets[@]} -gt 0 ] && [ -n "${targets[0]}" ] || return 4
  cmake --build "$DIR" -j"$JOBS" --target "${targets[@]}" >"$2" 2>&1 || return 3
  (cd "$DIR" && ctest -R "$1" --timeout "$TIMEOUT" -j"$JOBS" --output-on-failure) >>"$2" 2>&1
}

# The unmutated tree must pass the selected entries, or every mutation would
# look killed.
all_tests=$(for i in "${selected[@]}"; do echo "${tests[$i]}"; done | sort -u | paste -sd'|')
echo "== baseline: building and running ($all_tests) on the unmutated tree"
start=$SECONDS
build_and_test "$all_tests" "$LOGS/baseline.log"
status=$?
if [ $status -ne 0 ]; then
  tail -n 40 "$LOGS/baseline.log"
  echo "mutate: the unmutated tree does not pass its tests (status $status); nothing to measure" >&2
  exit 2
fi
echo "== baseline passed in $((SECONDS - start))s"

# ---- the mutations ---------------------------------------------------------------

killed=0 survived=0 missing=0 broken=0
survivors=()
total=${#selected[@]}
k=0
for i in "${selected[@]}"; do
  k=$((k + 1))
  file=${files[$i]} why=${whys[$i]}
  label=$(printf '[%2d/%d] %-34s' "$k" "$total" "$file")
  log=$LOGS/mutation-$((i + 1)).log
  count=0
  [ -f "$file" ] && count=$(occurrences "$file" "${finds[$i]}")
  if [ "$count" != 1 ]; then
    missing=$((missing + 1))
    echo "$label NOT APPLICABLE  ($count occurrences of the original text; the code moved, update the list): $why"
    echo "        find: ${finds[$i]}"
    continue
  fi
  start=$SECONDS
  mutate "$file" "${finds[$i]}" "${replaces[$i]}"
  build_and_test "${tests[$i]}" "$log"
  status=$?
  restore_pending
  took=$((SECONDS - start))
  case $status in
    0)
      survived=$((survived + 1))
      survivors+=("$file: $why")
      echo "$label SURVIVED  ${took}s  $why"
      ;;
    3)
      broken=$((broken + 1))
      echo "$label BUILD FAILED  ${took}s  (the mutation does not compile; fix the list): $why"
      ;;
    4)
      broken=$((broken + 1))
      echo "$label NO TESTS  (tests: ${tests[$i]} selects no ctest entry): $why"
      ;;
    *)
      killed=$((killed + 1))
      failing=$(grep -oE '[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|NUMERICAL|ILLEGAL|BUS|Subprocess aborted|Exception)[^)]*\)' "$log" |
        sed 's/^[0-9]* - //' | paste -sd' ' | cut -c1-70)
      echo "$label killed    ${took}s  by ${failing:-?}"
      ;;
  esac
done

# Leave the build directory matching the source again.
mapfile -t targets < <(targets_for "$all_tests")
cmake --build "$DIR" -j"$JOBS" --target "${targets[@]}" >"$LOGS/final.log" 2>&1 ||
  echo "mutate: the restored tree does not build, see $LOGS/final.log"

echo
viable=$((killed + survived))
rate=0
[ $viable -gt 0 ] && rate=$((100 * killed / viable))
if [ ${#survivors[@]} -gt 0 ]; then
  echo "Survived (behaviour no test holds):"
  printf '  %s\n' "${survivors[@]}"
fi
[ $missing -gt 0 ] && echo "NOT APPLICABLE: $missing mutation(s) no longer match the code: update $LIST"
[ $broken -gt 0 ] && echo "Unusable: $broken mutation(s) do not build or select no test: update $LIST"
echo "kill rate: $killed of $viable killed ($rate%), $survived survived, $missing not applicable, $broken unusable"
[ $survived -eq 0 ] && [ $missing -eq 0 ] && [ $broken -eq 0 ]
