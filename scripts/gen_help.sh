#!/bin/sh
# The help files of a precision pair, matlab/<stem>_f32.m and
# matlab/<stem>_f64.m, are written once, as the template
# matlab/pairs/<stem>.m.in, and expanded by this script into the two plain
# .m files that are committed, built and installed (help and lookfor read
# them as they are). In a template:
#   @SFX@           the file's own suffix, f32 or f64
#   @OTHER@         the other suffix
#   @CLASS@         the file's class, single or double
#   [f32] or [f64]  at the start of a line: the line is in that file only
#
#   scripts/gen_help.sh          rewrite the pairs' .m files from their templates
#   scripts/gen_help.sh --check  write nothing; fail, showing the difference,
#                                where a .m file is not its template's expansion
#                                (tests/octave/test_docs.m runs this)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
check=false
[ "${1:-}" = --check ] && check=true

# expand TEMPLATE SUFFIX OTHER CLASS: the .m file on stdout.
expand() {
  sed -e "/^\[$3\]/d" -e "s/^\[$2\]//" \
      -e "s/@SFX@/$2/g" -e "s/@OTHER@/$3/g" -e "s/@CLASS@/$4/g" "$1"
}

status=0
for template in "$root"/matlab/pairs/*.m.in; do
  stem=$(basename "$template" .m.in)
  for variant in "f32 f64 single" "f64 f32 double"; do
    set -- $variant
    target=$root/matlab/${stem}_$1.m
    if $check; then
      if ! expand "$template" "$1" "$2" "$3" | diff -u "$target" - >&2; then
        echo "gen_help.sh: matlab/${stem}_$1.m differs from matlab/pairs/$stem.m.in; edit the template and run scripts/gen_help.sh" >&2
        status=1
      fi
    else
      expand "$template" "$1" "$2" "$3" >"$target"
    fi
  done
done
exit $status
