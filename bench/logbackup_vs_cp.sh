#!/usr/bin/env bash
# Log backup figures against the plain tools, on one disk (the folder of $TMPDIR):
#   1. 16 log files of 16 MiB: `cp` + one `sync` against `kxmp backup --metadata` with one
#      job and with --jobs 4, side by side in every run (RUNS runs, default 5); prints each
#      run and the min and median of cp time / kxmp time (1.00 = as fast as cp + sync)
#   2. 1,000 small log files (64 KiB) through `kxmp backup`: files per second, and where the
#      time goes (system calls by time, from strace -c)
#   3. `kxmp search --all` for one name among 100,000 backed-up files vs `find ROOT -name NAME`
#   4. reader throughput (LogBackupRead_bench, 1 MiB reads) vs `cat FILE > /dev/null`
# Usage: [RUNS=5] [SECTIONS="1 2 3 4"] bench/logbackup_vs_cp.sh [release build dir]
#   (default build dir: build/release)
# Build first: cmake --preset release &&
#   cmake --build --preset release --target kxmp LogBackupRead_bench
# Needs about 3 GiB free; everything is removed at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/release}
kxmp=$build/tools/kxmp/kxmp
readbench=$build/bench/LogBackupRead_bench
for b in "$kxmp" "$readbench"; do [ -x "$b" ] || { echo "missing $b (build the release preset first)" >&2; exit 1; }; done

home=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-lbbench-XXXXXX")
trap 'rm -rf "$home"' EXIT
export KX_HOME=$home
mp=$home/mp1
root=$mp/KX_APP_DUMPS/bs-bench
"$kxmp" setup >/dev/null
mkdir -p "$mp" "$home/src" "$home/small" "$home/cp"
"$kxmp" catalog add-subclient --id 42 --guid guid-bench --backupset-guid bs-bench >/dev/null
"$kxmp" catalog add-mount-path --id 1 --host ma1 --path "$mp" --library lib >/dev/null
"$kxmp" catalog attach --subclient 42 --mount-path 1 --primary >/dev/null

now_ns() { date +%s%N; }
ms() { echo $(( ($2 - $1) / 1000000 )); }

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
runs=${RUNS:-5}
sections=${SECTIONS:-1 2 3 4}
want() { case " $sections " in *" $1 "*) return 0 ;; esac; return 1; }

for i in $(seq -w 1 16); do head -c $((16 << 20)) /dev/urandom > "$home/src/big_$i.trn"; done
sync
if want 1; then
echo "== 1. 16 x 16 MiB: cp + sync vs kxmp backup --metadata (1 job, --jobs 4), $runs runs"
# Each run writes to new folders and removes them (then syncs) outside the timing; the
# sources stay in the page cache for all three.
: > "$home/ratios"
for run in $(seq "$runs"); do
  mkdir -p "$home/cp"
  t0=$(now_ns); cp "$home"/src/big_*.trn "$home/cp/"; sync; t1=$(now_ns)
  cp_ms=$(ms "$t0" "$t1"); rm -rf "$home/cp"; sync
  line="run $run: cp + sync $cp_ms ms"
  ratios=""
  for jobs in 1 4; do
    t0=$(now_ns)
    "$kxmp" backup --subclient 42 --metadata --jobs $jobs --root-folder "r$run-j$jobs" "$home"/src/big_*.trn > /dev/null
    t1=$(now_ns)
    kx_ms=$(ms "$t0" "$t1"); rm -rf "$root/r$run-j$jobs"; sync
    ratio=$(python3 -c "print('%.2f' % ($cp_ms / max($kx_ms, 1)))")
    line="$line, --jobs $jobs $kx_ms ms ($ratio)"
    ratios="$ratios $ratio"
  done
  echo "$line"
  echo "$ratios" >> "$home/ratios"
done
for col in 1 2; do
  jobs=$([ $col = 1 ] && echo 1 || echo 4)
  vals=$(awk -v c=$col '{print $c}' "$home/ratios")
  echo "--jobs $jobs: cp time / kxmp time: min $(sort -g <<<"$vals" | head -1), median $(median <<<"$vals")"
done
fi

if want 2; then
echo "== 2. 1,000 x 64 KiB through kxmp backup"
for i in $(seq -w 1 1000); do head -c 65536 /dev/urandom > "$home/small/small_$i.trn"; done
sync
t0=$(now_ns); "$kxmp" backup --subclient 42 "$home"/small/small_*.trn | tail -1; t1=$(now_ns)
python3 -c "print('files per second: %.0f' % (1000 / (($t1 - $t0) / 1e9)))"
echo "system time by call (strace -c -f, top 8):"
strace -c -f -S time -o "$home/strace.txt" "$kxmp" backup --subclient 42 "$home"/small/small_*.trn > /dev/null
sed -n '1,11p' "$home/strace.txt"
rm -rf "$home/small"
fi

if want 3; then
echo "== 3. one name among 100,000 backed-up files: kxmp search --all vs find -name"
for d in $(seq 0 99); do mkdir -p "$root/d$d"; (cd "$root/d$d" && touch $(seq -f "log_${d}_%g.trn" 0 999)); done
find "$root" -name x > /dev/null
sruns=5
t0=$(now_ns); for _ in $(seq $sruns); do find "$root" -name log_77_777.trn > /dev/null; done; t1=$(now_ns)
find_ms=$(( ($(ms "$t0" "$t1")) / sruns ))
t0=$(now_ns); for _ in $(seq $sruns); do "$kxmp" search --subclient 42 --all log_77_777.trn > /dev/null; done; t1=$(now_ns)
search_ms=$(( ($(ms "$t0" "$t1")) / sruns ))
"$kxmp" search --subclient 42 --all log_77_777.trn
echo "find -name         : $find_ms ms per run"
echo "kxmp search --all  : $search_ms ms per run (whole process: start, contexts, walk)"
python3 -c "print('ratio search / find: %.2f' % ($search_ms / max($find_ms, 1)))"
rm -rf "$root"/d*
fi

if want 4; then
"$kxmp" backup --subclient 42 "$home"/src/big_*.trn > /dev/null
echo "== 4. reading back 16 x 16 MiB: reader vs cat (warm cache)"
cat "$root"/big_*.trn > /dev/null
t0=$(now_ns); for f in "$root"/big_*.trn; do cat "$f" > /dev/null; done; t1=$(now_ns)
python3 -c "print('cat FILE > /dev/null, one process per file: %.1f MiB/s' % (256 / (($t1 - $t0) / 1e9)))"
t0=$(now_ns); cat "$root"/big_*.trn > /dev/null; t1=$(now_ns)
python3 -c "print('cat FILES > /dev/null, one process       : %.1f MiB/s' % (256 / (($t1 - $t0) / 1e9)))"
KXMP_BENCH_HOME=$home "$readbench" --benchmark_format=console 2>/dev/null | grep -E 'BM_|bytes'
fi
