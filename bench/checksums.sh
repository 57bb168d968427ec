#!/usr/bin/env bash
# What checksums cost, side by side in one run, on local storage (the folder of $TMPDIR):
#   1. kxmp backup --metadata of 16 files of 16 MiB: the build before checksums against this
#      one (goal: at most 5 % slower)
#   2. kxmp restore of the same 16 files: before against this one, which verifies every file as
#      it copies it (goal: at most 5 % slower)
#   3. kxmp verify of 1 GiB of stored logs (64 x 16 MiB, page cache warm) against
#      `openssl dgst -sha256` over the same files (goal: at least 0.8 x its throughput)
#   4. with SFTP=1 (needs root and sshd): kxmp verify of 256 MiB on a loopback OpenSSH server
#      against `sftp` downloading the same files (goal: at least 0.8 x)
# Runs alternate which build goes first; each figure is the whole process. Prints every run
# and the median ratio.
# Usage: [RUNS=5] [SFTP=1] bench/checksums.sh BEFORE_BUILD [AFTER_BUILD]
#   BEFORE_BUILD: a release build of the tree before checksums; AFTER_BUILD default build/release.
#   Build: cmake --preset release && cmake --build --preset release --target kxmp kxmp-sftp
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
before=${1:?usage: bench/checksums.sh BEFORE_BUILD [AFTER_BUILD]}/tools/kxmp/kxmp
after=${2:-$top/build/release}/tools/kxmp/kxmp
for b in "$before" "$after"; do [ -x "$b" ] || { echo "missing $b (build the release preset first)" >&2; exit 1; }; done
runs=${RUNS:-5}

home=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-sumbench-XXXXXX")
cleanup() {
  if [ "${SFTP:-0}" = 1 ]; then sshd_stop_all; fi
  rm -rf "$home"
}
trap cleanup EXIT
export KX_HOME=$home
mp=$home/mp1
mkdir -p "$mp" "$home/src" "$home/big"
"$after" setup >/dev/null
"$after" catalog add-mount-path --id 1 --host 'ma1*ma1*0*0' --path "$mp" >/dev/null
"$after" catalog add-subclient --id 42 --backupset-guid bs-bench >/dev/null
"$after" catalog attach --subclient 42 --mount-path 1 --primary >/dev/null
root=$mp/KX_APP_DUMPS/bs-bench

now_ns() { date +%s%N; }
ms() { echo $(( ($2 - $1) / 1000000 )); }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
ratio() { python3 -c "print('%.3f' % ($1 / max($2, 1)))"; }

for i in $(seq -w 1 16); do head -c $((16 << 20)) /dev/urandom >"$home/src/log_$i.trn"; done
sync

echo "== 1. backup --metadata of 16 x 16 MiB: before vs with checksums, $runs runs (time after / before)"
: >"$home/r1"
for run in $(seq "$runs"); do
  order="before after"; [ $((run % 2)) = 0 ] && order="after before"
  declare -A t=()
  for which in $order; do
    bin=$before; [ "$which" = after ] && bin=$after
    t0=$(now_ns); "$bin" backup --subclient 42 --metadata --root-folder "b$run$which" "$home"/src/*.trn >/dev/null; t1=$(now_ns)
    t[$which]=$(ms "$t0" "$t1")
    rm -rf "$root/b$run$which"; sync
  done
  r=$(ratio "${t[after]}" "${t[before]}"); echo "$r" >>"$home/r1"
  echo "run $run: before ${t[before]} ms, with checksums ${t[after]} ms ($r)"
done
echo "median time ratio: $(median <"$home/r1")"

echo "== 2. restore of 16 x 16 MiB: before vs verifying, $runs runs (time after / before)"
"$after" backup --subclient 42 --metadata --root-folder stored "$home"/src/*.trn >/dev/null
: >"$home/r2"
for run in $(seq "$runs"); do
  order="before after"; [ $((run % 2)) = 0 ] && order="after before"
  declare -A t=()
  for which in $order; do
    bin=$before; [ "$which" = after ] && bin=$after
    rm -rf "$home/to"; sync
    t0=$(now_ns); "$bin" restore --subclient 42 --root-folder stored '\.trn$' --to "$home/to" >/dev/null; t1=$(now_ns)
    t[$which]=$(ms "$t0" "$t1")
  done
  r=$(ratio "${t[after]}" "${t[before]}"); echo "$r" >>"$home/r2"
  echo "run $run: before ${t[before]} ms, verifying ${t[after]} ms ($r)"
done
echo "median time ratio: $(median <"$home/r2")"
rm -rf "$home/to" "$root/stored"

echo "== 3. verify of 1 GiB stored (64 x 16 MiB, warm) vs openssl dgst -sha256, $runs runs (throughput ratio)"
for i in $(seq -w 1 64); do head -c $((16 << 20)) /dev/urandom >"$home/big/big_$i.trn"; done
"$after" backup --subclient 42 --metadata "$home"/big/*.trn >/dev/null
rm -rf "$home/big"
cat "$root"/big_*.trn >/dev/null
: >"$home/r3"
for run in $(seq "$runs"); do
  t0=$(now_ns); openssl dgst -sha256 "$root"/big_*.trn >/dev/null; t1=$(now_ns); o=$(ms "$t0" "$t1")
  t0=$(now_ns); "$after" verify --subclient 42 >"$home/verify.out"; t1=$(now_ns); v=$(ms "$t0" "$t1")
  r=$(ratio "$o" "$v"); echo "$r" >>"$home/r3"
  echo "run $run: openssl $o ms ($(python3 -c "print('%.0f' % (1024 / ($o / 1000)))") MiB/s), kxmp verify $v ms ($(python3 -c "print('%.0f' % (1024 / ($v / 1000)))") MiB/s) ($r)"
done
tail -1 "$home/verify.out"
echo "median throughput ratio verify / openssl: $(median <"$home/r3")"

if [ "${SFTP:-0}" = 1 ]; then
  # shellcheck source=../scripts/lib/loopback-sshd.sh
  source "$top/scripts/lib/loopback-sshd.sh"
  why=$(sshd_unavailable)
  [ -z "$why" ] || { echo "cannot run an SSH server here: $why" >&2; exit 1; }
  echo "== 4. verify of 256 MiB over SFTP vs sftp downloading it, $runs runs (throughput ratio)"
  sshd_start ma2 127.0.0.2
  disk=${SSHD_CHROOT[ma2]}
  mkdir -m 755 "$disk/disk2"
  "$after" catalog add-mount-path --id 2 --host 'ma2*ma2*0*0' --path /disk2 >/dev/null
  "$after" catalog add-subclient --id 43 --backupset-guid bs-sftp >/dev/null
  "$after" catalog attach --subclient 43 --mount-path 2 --primary >/dev/null
  "$after" storage-host set ma2 --address 127.0.0.2 --port "${SSHD_PORT[ma2]}" --user "$(id -un)" \
    --identity "${SSHD_IDENTITY[ma2]}" --known-hosts "${SSHD_KNOWN_HOSTS[ma2]}" >/dev/null
  "$after" backup --subclient 43 --metadata "$home"/src/*.trn >/dev/null
  mkdir -p "$home/dl"
  : >"$home/r4"
  for run in $(seq "$runs"); do
    t0=$(now_ns)
    sftp -q -b - -i "${SSHD_IDENTITY[ma2]}" -o UserKnownHostsFile="${SSHD_KNOWN_HOSTS[ma2]}" -P "${SSHD_PORT[ma2]}" \
      "$(id -un)@127.0.0.2" >/dev/null <<<"get /disk2/KX_APP_DUMPS/bs-sftp/*.trn $home/dl/"
    t1=$(now_ns); s=$(ms "$t0" "$t1"); rm -rf "$home/dl"/*
    t0=$(now_ns); "$after" verify --subclient 43 >"$home/verify.out"; t1=$(now_ns); v=$(ms "$t0" "$t1")
    r=$(ratio "$s" "$v"); echo "$r" >>"$home/r4"
    echo "run $run: sftp get $s ms, kxmp verify $v ms ($r)"
  done
  tail -1 "$home/verify.out"
  echo "median throughput ratio verify / sftp: $(median <"$home/r4")"
fi
