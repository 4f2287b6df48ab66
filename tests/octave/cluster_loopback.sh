#!/bin/sh
# cluster_loopback.sh PLUGIN_DIR EXAMPLES_DIR: runs examples/batch.m on a
# cluster of the parallel package (one server, on this machine) and as the
# plain serial loop, and prints "identical: 1" when the results agree.
#
# Debian's parallel package is built without TLS, so its server takes
# commands from anyone who reaches its ports, on every interface. It is
# therefore run in namespaces of its own (unshare, as root): a network with
# only the loopback interface, so nothing outside can reach it; a private
# /tmp for its pid file, whose name is fixed; and a PID namespace, so that it
# ends with this script. The whole run is bounded by timeout.
#
# The server refuses to run as root and runs as "nobody", which may not
# enter the user's folders (a clone under /root, or in a folder of mode
# 700); and the private /tmp hides a clone that lies under /tmp. So both
# folders are copied, readable by all, into the private /tmp, and everything
# runs from there; the user's folders are left as they are.
set -eu
if [ "${1:-}" != inside ]; then
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  cp -R "$1" "$stage/plugins"
  cp -R "$2" "$stage/examples"
  # The working folder stays reachable inside, after /tmp is mounted over.
  cd "$stage"
  status=0
  timeout 300 unshare --net --mount --pid --kill-child --mount-proc sh "$0" inside || status=$?
  exit $status
fi
ip link set lo up
mount -t tmpfs -o mode=1777 tmpfs /tmp
run=/tmp/regkern
mkdir "$run"
cp -R plugins examples "$run"
chmod -R a+rX "$run"
cd "$run"
runuser -u nobody -- /usr/libexec/octave-pserver --octave-binary="$(command -v octave-cli)" --no-auth >&2
octave-cli --no-gui --norc --quiet --no-window-system --eval "
  addpath ('$run/plugins', '$run/examples');
  pkg load parallel
  servers = pconnect ({'localhost'}, struct ('use_tls', false));
  remote = batch (3, servers, [20 18 12]);
  sclose (servers);
  serial = batch (3, 0, [20 18 12]);
  printf ('threads: %s\n', num2str ([remote.threads]));
  printf ('identical: %d\n', isequal (rmfield (remote, 'threads'), rmfield (serial, 'threads')));
"
