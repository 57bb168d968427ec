#!/usr/bin/env bash
# Times 1 MiB AMWrite calls into a 1 GiB file (creation to the fsync of the close) against
# `dd if=/dev/zero of=F bs=1M count=1024 conv=fsync` on the same disk, and prints the
# throughput ratio. Needs 1 GiB free in the folder; everything written is removed.
# Usage: bench/write_vs_dd.sh [folder, default /tmp] [release build dir, default build/release]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-/tmp}
bench=${2:-$top/build/release}/bench/FileFacade_bench
[ -x "$bench" ] || { echo "missing $bench (build the release preset first)" >&2; exit 1; }

work=$(mktemp -d "$dir/kxmp-dd-XXXXXX")
trap 'rm -rf "$work"' EXIT
total_ns=0
for _ in 1 2 3; do
  start=$(date +%s%N)
  dd if=/dev/zero of="$work/F" bs=1M count=1024 conv=fsync status=none
  total_ns=$(( total_ns + $(date +%s%N) - start ))
  rm -f "$work/F"
done
dd_mibs=$(( 3 * 1024 * 1000000000 / total_ns ))

json=$(KXMP_BENCH_WRITE_DIR=$dir "$bench" --benchmark_filter='^BM_AMWrite1GiB' --benchmark_format=json 2>/dev/null)
am=$(python3 -c '
import json, sys
b = json.loads(sys.stdin.read())["benchmarks"][0]
print(round(b["bytes_per_second"] / 2**20))' <<< "$json")

echo "dd conv=fsync            : $dd_mibs MiB/s (mean of 3)"
echo "AMWrite + AMCloseFile     : $am MiB/s (mean of 3)"
python3 -c "print('ratio AMWrite / dd: %.2f' % ($am / $dd_mibs))"
