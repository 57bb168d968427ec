#!/usr/bin/env bash
# Mount requests through the socket: kxmp-host against its floor (bench/floor_server, same
# framing, a fixed answer, no work), side by side in one run:
#   1. throughput with one client, RUNS runs each, and the ratio host / floor (min, median)
#   2. p50/p99 latency with 8 clients
#   3. system calls per request on each server (strace -c -f -p while 2,000 requests run)
# The subclient's cached list is fresh (the first request fills it), the control server online,
# the host's log at its default level.
# Usage: bench/host_vs_floor.sh [release build dir] [runs]   (default: build/release, 5)
# Build first: cmake --preset release &&
#   cmake --build build/release --target kxmp-host KXMAMountingPointSvc floor_server host_load
# strace: apt-get install -y strace
# Another host build (say, an older one to compare): KXMP_HOST_BIN=path/kxmp-host
# KXMP_HOST_ARGS="--library path/libKXMAMountingPointSvc.so.1" LD_LIBRARY_PATH=path.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/host_home.sh"
build=${1:-$top/build/release}
runs=${2:-5}
host_bin=${KXMP_HOST_BIN:-$build/tools/host/kxmp-host}
floor_bin=$build/bench/floor_server
load=$build/bench/host_load
for b in "$host_bin" "$floor_bin" "$load"; do [ -x "$b" ] || { echo "missing $b (build the release preset first)" >&2; exit 1; }; done

host_bench_home hostbench 3

hsock=$home/host.sock
fsock=$home/floor.sock
"$host_bin" ${KXMP_HOST_ARGS:-} --socket "$hsock" > "$home/host.out" &
hpid=$!; pids+=("$hpid")
"$floor_bin" "$fsock" > "$home/floor.out" &
fpid=$!; pids+=("$fpid")
for s in "$hsock" "$fsock"; do wait_for_socket "$s"; done
grep -q serving "$home/host.out" || { sleep 1; grep -q serving "$home/host.out" || { echo "kxmp-host did not start" >&2; exit 1; }; }

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
stats() { sort -g | awk '{a[NR]=$1} END {printf "min %.3f  median %.3f", a[1], (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

echo "== 1. one client, 4,000 requests per run, $runs runs (machine shared: read ratios)"
ratios=()
for r in $(seq "$runs"); do
  h=$("$load" requests "$hsock" 1 4000 | field req_per_s)
  f=$("$load" requests "$fsock" 1 4000 | field req_per_s)
  ratio=$(python3 -c "print('%.3f' % ($h / $f))")
  ratios+=("$ratio")
  echo "run $r: kxmp-host ${h}/s  floor ${f}/s  ratio $ratio"
done
echo "ratio host/floor: $(printf '%s\n' "${ratios[@]}" | stats)"

echo "== 2. eight clients, 8,000 requests"
for r in $(seq "$runs"); do
  echo "run $r: kxmp-host $("$load" requests "$hsock" 8 8000)"
  echo "run $r: floor     $("$load" requests "$fsock" 8 8000)"
done

echo "== 3. system calls per request (strace -c -f -p, 2,000 requests + 50 warm-up)"
if command -v strace > /dev/null; then
  for who in host floor; do
    if [ $who = host ]; then pid=$hpid; sock=$hsock; else pid=$fpid; sock=$fsock; fi
    strace -c -f -p "$pid" -o "$home/strace.$who" &
    spid=$!
    sleep 1
    "$load" requests "$sock" 1 2000 > /dev/null
    kill -INT "$spid"; wait "$spid" 2>/dev/null || true
    total=$(awk '$NF == "total" {print $4}' "$home/strace.$who")
    echo "$who: $(python3 -c "print('%.1f' % ($total / 2050))") calls per request"
    sed -n '1,14p' "$home/strace.$who"
  done
else
  echo "strace is not installed (apt-get install -y strace)"
fi
