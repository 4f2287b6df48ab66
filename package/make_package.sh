#!/bin/sh
# make_package.sh [OUTDIR]: assembles the Octave package regkern-<version>.tar.gz
# in OUTDIR (default: build/ of the source tree) and prints its path.
#
# Layout, as "pkg install" expects it: DESCRIPTION, INDEX, COPYING (the
# top-level LICENSE); inst/ with Contents.m, the overview regkern.m and the
# M-file functions; src/ with the plug-in sources, the plug-ins' help files
# (help/) and the Makefile that builds the plug-ins with the installing
# Octave's mkoctfile and puts each help file beside its binary.
# Each help file is installed once: a second copy in inst/ would make
# "lookfor" list every plug-in twice.
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
mkdir -p "$dir/inst" "$dir/src/help"
cp "$root/package/DESCRIPTION" "$root/package/INDEX" "$dir/"
cp "$root/LICENSE" "$dir/COPYING"
for file in "$root"/matlab/*.m; do
  case $(basename "$file") in
    Contents.m|regkern.m|mutual_information.m) cp "$file" "$dir/inst/" ;;
    *) cp "$file" "$dir/src/help/" ;;
  esac
done
cp "$root/package/src/Makefile" "$dir/src/"
for folder in foundation remap dispinvert jointbins; do
  mkdir "$dir/src/$folder"
  find "$root/$folder" -maxdepth 1 \( -name '*.h' -o -name '*.cpp' \) -exec cp {} "$dir/src/$folder/" \;
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
tar -C "$stage" --owner=0 --group=0 --numeric-owner -czf "$out/$name.tar.gz" "$name"
echo "$out/$name.tar.gz"
