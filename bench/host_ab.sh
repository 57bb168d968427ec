#!/usr/bin/env bash
# Two (or more) kxmp-host builds and the floor server serving at once on one home, measured in
# turns run by run with 8 clients, so each build sees the same moments of a shared machine:
# p50/p99 per build, min / median / max over the runs.
# Usage: bench/host_ab.sh RUNS DIR...   each DIR holds kxmp-host and libKXMAMountingPointSvc.so.1
#   (copy them out of build/release before and after a change).
# Build first: cmake --preset release &&
#   cmake --build build/release --target kxmp-host KXMAMountingPointSvc floor_server host_load
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/host_home.sh"
runs=$1; shift
build=${KXMP_BUILD:-$top/build/release}
host_bench_home hostab 3
names=()
i=0
for d in "$@"; do
  LD_LIBRARY_PATH=$d "$d/kxmp-host" --library "$d/libKXMAMountingPointSvc.so.1" --socket "$home/h$i.sock" > /dev/null &
  pids+=($!); names+=("$d"); i=$((i + 1))
done
"$build/bench/floor_server" "$home/f.sock" > /dev/null &
pids+=($!); names+=(floor)
for j in $(seq 0 $((i - 1))); do
  wait_for_socket "$home/h$j.sock"
  "$build/bench/host_load" requests "$home/h$j.sock" 1 200 > /dev/null  # the cache is fresh
done
wait_for_socket "$home/f.sock"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq "$runs"); do
  for j in $(seq 0 "$i"); do
    sock=$home/h$j.sock; [ "$j" = "$i" ] && sock=$home/f.sock
    echo "$j $("$build/bench/host_load" requests "$sock" 8 8000)"
  done
done > "$home/runs"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
for j in $(seq 0 "$i"); do
  for k in p50_us p99_us; do
    printf '%s %s ' "${names[$j]}" "$k"
    awk -v j="$j" -v k="$k" '$1 == j { for (f = 2; f <= NF; f++) if (index($f, k "=") == 1) print substr($f, length(k) + 2) }' "$home/runs" |
      sort -n | awk '{a[NR]=$1} END {printf "min %d  median %d  max %d\n", a[1], (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2), a[NR]}'
  done
done
