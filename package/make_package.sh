#!/bin/sh
# make_package.sh [OUTDIR]: assembles the Octave package regkern-<version>.tar.gz
# in OUTDIR (default: build/ of the source tree) and prints its path.
#
# Layout, as "pkg install" expects it: DESCRIPTION, INDEX, COPYING (the
# top-level LICENSE); inst/ with
# Contents.m, the overview regkern.m and the M-file functions; src/ with the
# plug-in sources, the plug-ins' help files (help/), build_facts.txt and the
# Makefile that builds the plug-ins with the installing Octave's mkoctfile and
# puts each help file beside its binary. Each help file is installed once: a
# second copy in inst/ would make "lookfor" list every plug-in twice. INDEX is
# made from Contents.m: its headings and the functions under them.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build}
version=$(sed -n 's/^Version: *//p' "$root/package/DESCRIPTION")
listed=$(sed -n 's/^% Version *//p' "$root/matlab/Contents.m")
if [ "$version" != "$listed" ]; then
  echo "make_package.sh: DESCRIPTION has version $version but matlab/Contents.m has $listed" >&2
  exit 1
fi
name=regkern-$version

# contents_to_index CONTENTS: the package INDEX. A category is the line above
# the first "%   name  - description" line of a group (without its
# parenthesis); the overview regkern comes first.
contents_to_index() {
  awk '
    NR == 1 { sub(/^% *regkern */, ""); sub(/ *\(.*/, ""); print "regkern >> " $0; print "Overview"; print " regkern" }
    /^%   [A-Za-z0-9_]+ +- / {
      if (!listing) { category = previous; sub(/^% */, "", category); sub(/ *\(.*/, "", category); print category }
      print " " $2; listing = 1; next
    }
    { listing = 0; previous = $0 }
  ' "$1"
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/$name
mkdir -p "$dir/inst" "$dir/src/help"
cp "$root/package/DESCRIPTION" "$dir/"
cp "$root/LICENSE" "$dir/COPYING"
contents_to_index "$root/matlab/Contents.m" >"$dir/INDEX"
plugins=$(sed -n 's|^plugins *+= *||p' "$root/build_facts.txt")
for file in "$root"/matlab/*.m; do
  stem=$(basename "$file" .m)
  if printf '%s\n' $plugins | grep -qx "[a-z]*/$stem"; then
    cp "$file" "$dir/src/help/"
  else
    cp "$file" "$dir/inst/"
  fi
done
cp "$root/package/src/Makefile" "$root/build_facts.txt" "$dir/src/"
for folder in foundation mex $(printf '%s\n' $plugins | sed 's|/.*||' | sort -u); do
  mkdir "$dir/src/$folder"
  find "$root/$folder" -maxdepth 1 \( -name '*.h' -o -name '*.cpp' \) -exec cp {} "$dir/src/$folder/" \;
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
tar -C "$stage" --owner=0 --group=0 --numeric-owner -czf "$out/$name.tar.gz" "$name"
echo "$out/$name.tar.gz"
