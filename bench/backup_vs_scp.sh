#!/usr/bin/env bash
# Backup to a storage host over SFTP against OpenSSH's scp, side by side in one run:
#   16 files of 16 MiB sent to one OpenSSH server on 127.0.0.2 (chrooted internal-sftp,
#   generated keys) by `kxmp backup` (storage host ma1 configured with kxmp storage-host set)
#   and by `scp` of the same files to the same server. Runs alternate which goes first.
#   Each figure is the whole process: start, connect, log in, send, close.
#   kxmp also makes every file durable (fsync@openssh.com) and commits it by rename; scp does
#   neither, so "scp + sync" (a sync of the server's disk after scp) is printed as well.
# Prints each run and the min and median of kxmp's throughput over scp's (goal: >= 0.8), and
# the user CPU seconds each spent on the 256 MiB (scp's includes its ssh).
# Usage: bench/backup_vs_scp.sh [release build dir] [runs]   (default: build/release, 5)
# Build first: cmake --preset release && cmake --build --preset release --target kxmp
# Needs root (sshd chroots its sessions) and about 1 GiB free below /var/lib and $TMPDIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/release}
runs=${2:-5}
kxmp=$build/tools/kxmp/kxmp
[ -x "$kxmp" ] || { echo "missing $kxmp (build the release preset first)" >&2; exit 1; }
# shellcheck source=../scripts/lib/loopback-sshd.sh
source "$top/scripts/lib/loopback-sshd.sh"
why=$(sshd_unavailable)
[ -z "$why" ] || { echo "cannot run an SSH server here: $why" >&2; exit 1; }

home=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-scpbench-XXXXXX")
trap 'sshd_stop_all; rm -rf "$home"' EXIT
export KX_HOME=$home
sshd_start ma1 127.0.0.2
disk=${SSHD_CHROOT[ma1]}
mkdir -m 755 "$disk/disk1" "$disk/scp"
"$kxmp" setup >/dev/null
mkdir -p "$home/registry/Runtime" "$home/src"
printf 1 >"$home/registry/Runtime/nCSONLINE"
"$kxmp" catalog add-mount-path --id 1 --host 'ma1*ma1*0*0' --path /disk1 >/dev/null
"$kxmp" catalog add-subclient --id 7 --backupset-guid bs-bench >/dev/null
"$kxmp" catalog attach --subclient 7 --mount-path 1 --primary >/dev/null
"$kxmp" storage-host set ma1 --address 127.0.0.2 --port "${SSHD_PORT[ma1]}" --user "$(id -un)" \
  --identity "${SSHD_IDENTITY[ma1]}" --known-hosts "${SSHD_KNOWN_HOSTS[ma1]}" >/dev/null
"$kxmp" storage-host check ma1 | sed -n '1,4p'

for i in $(seq -w 1 16); do head -c $((16 << 20)) /dev/urandom >"$home/src/log_$i.trn"; done
(cd "$home/src" && sha256sum log_*.trn >"$home/src.sha256")
scp_args=(-q -B -i "${SSHD_IDENTITY[ma1]}" -o UserKnownHostsFile="${SSHD_KNOWN_HOSTS[ma1]}"
  -o StrictHostKeyChecking=yes -P "${SSHD_PORT[ma1]}")
dest="$(id -un)@127.0.0.2:/scp/"

now_ns() { date +%s%N; }
run_scp() { scp "${scp_args[@]}" "$home"/src/log_*.trn "$dest"; }
run_kxmp() { "$kxmp" backup --subclient 7 "$home"/src/log_*.trn >/dev/null; }
TIMEFORMAT=%U
user_cpu() { { time "$@" 2>&3; } 3>&2 2>"$home/user_cpu"; }  # the user CPU of a run, in $home/user_cpu
clear_disk() { rm -rf "$disk/disk1/KX_APP_DUMPS" "$disk"/scp/*; sync; }

echo "run  scp_ms  scp+sync_ms  kxmp_ms  kxmp/scp  kxmp/(scp+sync)  scp_user_s  kxmp_user_s"
ratios=()
cpu_scp=()
cpu_kxmp=()
ratios_sync=()
for run in $(seq 1 "$runs"); do
  for tool in scp kxmp; do
    # Alternate the order, so neither always meets a freshly cleared disk cache first.
    if [ $((run % 2)) = 0 ]; then tool=$([ "$tool" = scp ] && echo kxmp || echo scp); fi
    clear_disk
    if [ "$tool" = scp ]; then
      t0=$(now_ns); user_cpu run_scp; t1=$(now_ns); sync; t2=$(now_ns)
      scp_user=$(cat "$home/user_cpu")
      scp_ms=$(( (t1 - t0) / 1000000 )); scp_sync_ms=$(( (t2 - t0) / 1000000 ))
      (cd "$disk/scp" && sha256sum --quiet -c "$home/src.sha256") || { echo "scp copy differs" >&2; exit 1; }
    else
      t0=$(now_ns); user_cpu run_kxmp; t1=$(now_ns)
      kx_user=$(cat "$home/user_cpu")
      kx_ms=$(( (t1 - t0) / 1000000 ))
      (cd "$disk/disk1/KX_APP_DUMPS/bs-bench" && sha256sum --quiet -c "$home/src.sha256") ||
        { echo "kxmp backup differs" >&2; exit 1; }
    fi
  done
  r=$(python3 -c "print('%.2f' % ($scp_ms / $kx_ms))")
  rs=$(python3 -c "print('%.2f' % ($scp_sync_ms / $kx_ms))")
  ratios+=("$r")
  ratios_sync+=("$rs")
  cpu_scp+=("$scp_user")
  cpu_kxmp+=("$kx_user")
  printf '%3d  %6d  %11d  %7d  %8s  %15s  %10s  %11s\n' "$run" "$scp_ms" "$scp_sync_ms" "$kx_ms" "$r" "$rs" "$scp_user" "$kx_user"
done
python3 - "${ratios[*]}" "${ratios_sync[*]}" "${cpu_scp[*]}" "${cpu_kxmp[*]}" <<'EOF'
import statistics, sys
r = [float(x) for x in sys.argv[1].split()]
s = [float(x) for x in sys.argv[2].split()]
cs = [float(x) for x in sys.argv[3].split()]
ck = [float(x) for x in sys.argv[4].split()]
print("kxmp backup / scp throughput:        min %.2f  median %.2f  (%d runs, 256 MiB each)" % (min(r), statistics.median(r), len(r)))
print("kxmp backup / (scp + sync) throughput: min %.2f  median %.2f" % (min(s), statistics.median(s)))
print("user CPU per 256 MiB, median: scp %.2f s, kxmp %.2f s" % (statistics.median(cs), statistics.median(ck)))
EOF
