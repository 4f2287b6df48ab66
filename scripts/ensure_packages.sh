#!/bin/sh
# ensure_packages.sh PACKAGE...: installs the Debian packages that are missing
# (as root), or prints the apt-get line to run and fails.
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "Installing:$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
else
  echo "Missing Debian packages. Run:"
  echo "  sudo apt-get install -y$missing"
  exit 1
fi
