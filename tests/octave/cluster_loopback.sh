#!/bin/sh
# cluster_loopback.sh PLUGIN_DIR EXAMPLES_DIR: runs examples/batch.m on a
# cluster of the parallel package (one server, on this machine) and as the
# plain serial loop, and prints "identical: 1" when the results agree.
#
# Debian's parallel package is built without TLS, so its server takes
# commands from anyone who reaches its ports, on every interface. It is
# therefore run in namespaces of its own (unshare, as root): a network with
# only the loopback interface, so nothing outside can reach it; a private
# /tmp for its pid file; and a PID namespace, so that it ends with this
# script. The server refuses to run as root and runs as "nobody". The whole
# run is bounded by timeout.
set -eu
if [ "${1:-}" != inside ]; then
  exec timeout 300 unshare --net --mount --pid --kill-child --mount-proc sh "$0" inside "$@"
fi
plugins=$2
examples=$3
ip link set lo up
mount -t tmpfs tmpfs /tmp
runuser -u nobody -- /usr/libexec/octave-pserver --octave-binary="$(command -v octave-cli)" --no-auth >&2
cd "$plugins"
octave-cli --no-gui --norc --quiet --no-window-system --eval "
  addpath ('$plugins');
  state = warning ('off', 'all');
  addpath ('$examples');
  warning (state);
  pkg load parallel
  servers = pconnect ({'localhost'}, struct ('use_tls', false));
  remote = batch (3, servers, [20 18 12]);
  sclose (servers);
  serial = batch (3, 0, [20 18 12]);
  printf ('threads: %s\n', num2str ([remote.threads]));
  printf ('identical: %d\n', isequal (rmfield (remote, 'threads'), rmfield (serial, 'threads')));
"
