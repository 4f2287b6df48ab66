#!/bin/sh
# make_package.sh [OUTDIR]: assembles the Octave package regkern-<version>.tar.gz
# in OUTDIR (default: build/ of the source tree) and prints its path.
#
# Layout, as "pkg install" expects it: DESCRIPTION, INDEX, COPYING; inst/ with
# the help files and Contents.m; src/ with the plug-in sources and the
# Makefile that builds them with the installing Octave's mkoctfile.
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

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/$name
mkdir -p "$dir/inst" "$dir/src"
cp "$root/package/DESCRIPTION" "$root/package/INDEX" "$root/package/COPYING" "$dir/"
cp "$root"/matlab/*.m "$dir/inst/"
cp "$root/package/src/Makefile" "$dir/src/"
for folder in foundation remap dispinvert jointbins; do
  mkdir "$dir/src/$folder"
  find "$root/$folder" -maxdepth 1 \( -name '*.h' -o -name '*.cpp' \) -exec cp {} "$dir/src/$folder/" \;
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
tar -C "$stage" --owner=0 --group=0 --numeric-owner -czf "$out/$name.tar.gz" "$name"
echo "$out/$name.tar.gz"
