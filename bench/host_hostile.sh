#!/usr/bin/env bash
# kxmp-host under hostile local peers:
#   1. 500 sessions that send a 4-byte header announcing 1 MiB and nothing more: growth of the
#      host's resident memory and how many of them it kept
#   2. 800 good mount requests (a new connection each, 1 s to connect and 1 s to answer) during
#      a flood of garbage connections from 4 threads of the same user
#   3. the same with the flood from another user (uid 65534; only when run as root)
# Usage: bench/host_hostile.sh [release build dir]   (default: build/release)
# Build first: cmake --preset release &&
#   cmake --build build/release --target kxmp-host KXMAMountingPointSvc host_load
# Another host build (say, an older one to compare): KXMP_HOST_BIN=path/kxmp-host
# KXMP_HOST_ARGS="--library path/libKXMAMountingPointSvc.so.1" LD_LIBRARY_PATH=path.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/host_home.sh"
build=${1:-$top/build/release}
host_bin=${KXMP_HOST_BIN:-$build/tools/host/kxmp-host}
load=$build/bench/host_load
for b in "$host_bin" "$load"; do [ -x "$b" ] || { echo "missing $b (build the release preset first)" >&2; exit 1; }; done

home=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-hostile-XXXXXX")
chmod 0755 "$home"
hpid=
cleanup() { [ -n "$hpid" ] && { kill "$hpid" 2>/dev/null || true; wait "$hpid" 2>/dev/null || true; }; rm -rf "$home"; }
trap cleanup EXIT
export KX_HOME=$home
host_home_setup "$home" 1

sock=$home/host.sock
# Starts kxmp-host with the given options; the socket is made reachable by every user, so that
# the host itself must judge the peer.
start_host() {
  "$host_bin" ${KXMP_HOST_ARGS:-} --socket "$sock" "$@" > "$home/host.out" 2>&1 &
  hpid=$!
  for _ in $(seq 100); do grep -q serving "$home/host.out" 2>/dev/null && break; sleep 0.1; done
  grep -q serving "$home/host.out" || { cat "$home/host.out" >&2; echo "kxmp-host did not start" >&2; exit 1; }
  chmod 0666 "$sock"
}
stop_host() { kill "$hpid"; wait "$hpid" 2>/dev/null || true; hpid=; }

echo "== 1. 500 header-only sessions (limits per user and process raised to 512, so all are kept)"
start_host --max-sessions-per-user 512 --max-sessions-per-process 512
"$load" headers "$sock" 500 "$hpid"
stop_host
echo "   the same with the default limits"
start_host
"$load" headers "$sock" 500 "$hpid"
echo "== 2. 800 good requests during a 4-thread garbage flood (same user)"
"$load" flood "$sock" 800 4 || true
if [ "$(id -u)" = 0 ]; then
  echo "== 3. 800 good requests during a 4-thread garbage flood from uid 65534"
  "$load" flood "$sock" 800 4 65534 || true
fi
echo "host log lines about refused or closed peers: $(grep -c -e 'Refusing' -e 'Closing session' "$home/log/kxmp-host.log" || true)"
