#!/usr/bin/env bash
# Times AMWalkDir over a tree of 100,000 files in 1,000 folders against
# `find ROOT -type f | wc -l` on the same tree (warm cache), and prints the ratio.
# Usage: bench/walk_vs_find.sh [release build dir]   (default: build/release)
# Build first: cmake --preset release && cmake --build --preset release --target FileFacade_bench
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bench=${1:-$top/build/release}/bench/FileFacade_bench
[ -x "$bench" ] || { echo "missing $bench (build the release preset first)" >&2; exit 1; }

mount=$(mktemp -d /tmp/kxmp-walk-XXXXXX)
trap 'rm -rf "$mount"' EXIT
root=$mount/KX_APP_DUMPS/guid-bench
echo "building the tree in $root ..."
for d in $(seq 0 999); do
  mkdir -p "$root/d$d"
  (cd "$root/d$d" && touch $(seq -f 'log_%g.xml' 0 99))
done

find "$root" -type f | wc -l > /dev/null  # warm the cache
runs=20
start=$(date +%s%N)
for _ in $(seq $runs); do files=$(find "$root" -type f | wc -l); done
find_ms=$(( ($(date +%s%N) - start) / runs / 1000 ))  # microseconds per run

json=$(KXMP_BENCH_WALK_MOUNT=$mount "$bench" --benchmark_filter='^BM_AMWalkDir' --benchmark_format=json 2>/dev/null)
read -r walk_us walked < <(python3 -c '
import json, sys
b = json.loads(sys.stdin.read())["benchmarks"][0]
scale = {"ns": 1e-3, "us": 1, "ms": 1e3, "s": 1e6}[b["time_unit"]]
print(round(b["real_time"] * scale), int(b["files"]))' <<< "$json")

echo "find -type f | wc -l : $files files, $((find_ms / 1000)).$(printf %03d $((find_ms % 1000))) ms per run"
echo "AMWalkDir            : $walked files, $((walk_us / 1000)).$(printf %03d $((walk_us % 1000))) ms per run"
python3 -c "print('ratio AMWalkDir / find: %.2f' % ($walk_us / $find_ms))"
