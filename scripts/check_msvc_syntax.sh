#!/usr/bin/env bash
# check_msvc_syntax.sh: the vector paths as Microsoft's compiler would take
# them, checked without it.
#
#   clang-msvc   every vector path of every plug-in (scripts/msvc_check/
#                vector_paths.cpp) compiled by clang for the MSVC target
#                (_MSC_VER, Microsoft's ABI and <intrin.h>), -fsyntax-only
#   cl-msvc      the same with the target attribute empty, as Microsoft's
#                compiler reads it
#   cpuid-wine   the cpuid/xgetbv detection (the one Microsoft's compiler
#                gets), built with MinGW-w64 and run under wine, picks the
#                same path as this build's own detection on this processor
#
# There are no Microsoft headers here: scripts/msvc_check/stubs/ declares
# the little of the standard library the vector code uses, with Microsoft's
# type sizes. clang's own headers declare the AVX2 and AVX-512 intrinsics
# for MSVC targets only when those instruction sets are switched on (the
# -m options below); Microsoft's headers always declare them.
#
# Environment: BUILD (default "build"; work goes to $BUILD-platforms/msvc),
# WINEPREFIX (default $BUILD-platforms/wine-prefix, the one
# check_platforms.sh uses). Prints one line per check and "msvc-like: N
# passed, M failed" last; exits non-zero when a check failed.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
BUILD=${BUILD:-build}
OUT=$root/$BUILD-platforms/msvc
mkdir -p "$OUT"
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  scripts/ensure_packages.sh g++ clang g++-mingw-w64-x86-64-posix wine64 >/dev/null && break
  [ $attempt = 10 ] && { echo "check_msvc_syntax: cannot install its packages"; exit 1; }
  sleep 30
done

probe=scripts/msvc_check/vector_paths.cpp
includes=(-Ifoundation -Idispinvert -Ijointbins)
clang_msvc=(clang++ --target=x86_64-pc-windows-msvc -std=c++17 -fsyntax-only -Wall -Wextra -Werror
            -mavx2 -mavx512f -mavx512vl -isystem scripts/msvc_check/stubs "${includes[@]}")

export WINEPREFIX=${WINEPREFIX:-$root/$BUILD-platforms/wine-prefix} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cpuid_under_wine() {
  g++ -std=c++17 -O1 -Wno-psabi "${includes[@]}" "$probe" -o "$OUT/native" || return 1
  x86_64-w64-mingw32-g++-posix -std=c++17 -O1 -Wno-psabi "${includes[@]}" "$probe" -static \
    -o "$OUT/vector_paths.exe" || return 1
  [ -f "$WINEPREFIX/system.reg" ] || { wineboot --init </dev/null && wineserver -w; }
  local native cpuid
  native=$("$OUT/native" | sed -n 's/^detected: //p')
  cpuid=$(wine "$OUT/vector_paths.exe" | tr -d '\r' | sed -n 's/^cpuid: //p')
  echo "this build's detection: $native; cpuid under wine: $cpuid"
  [ -n "$native" ] && [ "$native" = "$cpuid" ]
}

passed=0
failed=0
run() {
  local name=$1
  shift
  if "$@" >"$OUT/$name.log" 2>&1; then
    echo "$name: ok $(tail -n 1 "$OUT/$name.log")"
    passed=$((passed + 1))
  else
    tail -n 20 "$OUT/$name.log"
    echo "$name: FAILED (log: $OUT/$name.log)"
    failed=$((failed + 1))
  fi
}
run clang-msvc "${clang_msvc[@]}" "$probe"
run cl-msvc "${clang_msvc[@]}" '-DREGKERN_TARGET(isa)=' "$probe"
run cpuid-wine cpuid_under_wine
echo "msvc-like: $passed passed, $failed failed"
[ $failed = 0 ]
