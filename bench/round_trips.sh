#!/usr/bin/env bash
# Storage hosts at a distance: kxmp against OpenSSH's own clients, side by side, through
# bench/delay_relay (every chunk held for half the round trip in each direction; no netem).
#   For each round trip (default 0 20 50 ms), N files of 64 KiB (300 at 0 ms, 30 otherwise):
#     backup   `kxmp backup --jobs 1`, `kxmp backup --jobs 4`, `sftp -b` (one put per file),
#              `scp` (all files in one call)
#     restore  `kxmp restore` of every file, `sftp -b` (one get per file)
#   Each figure is the whole process (start, connect, log in, transfer) and is checked with
#   sha256. The server is one OpenSSH sshd on 127.0.0.2 (chrooted internal-sftp).
# Prints seconds per run and kxmp's time over the OpenSSH client's (lower is better).
# Usage: bench/round_trips.sh [release build dir] [runs] [round trips in ms ...]
#   (default: build/release, 1, "0 20 50"). FILES_AT_0 and FILES_AT_DISTANCE change N.
# Build first: cmake --preset release && cmake --build --preset release
# Needs root (sshd chroots its sessions).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/release}
runs=${2:-1}
shift $(( $# > 2 ? 2 : $# ))
rtts=("$@")
[ ${#rtts[@]} -gt 0 ] || rtts=(0 20 50)
kxmp=$build/tools/kxmp/kxmp
relay=$build/bench/delay_relay
for f in "$kxmp" "$relay"; do [ -x "$f" ] || { echo "missing $f (build the release preset first)" >&2; exit 1; }; done
# shellcheck source=../scripts/lib/loopback-sshd.sh
source "$top/scripts/lib/loopback-sshd.sh"
why=$(sshd_unavailable)
[ -z "$why" ] || { echo "cannot run an SSH server here: $why" >&2; exit 1; }

home=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-rtbench-XXXXXX")
relay_pid=
stop_relay() { if [ -n "$relay_pid" ]; then kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; relay_pid=; fi; }
trap 'stop_relay; sshd_stop_all; rm -rf "$home"' EXIT
export KX_HOME=$home
sshd_start ma1 127.0.0.2
disk=${SSHD_CHROOT[ma1]}
mkdir -m 755 "$disk/disk1" "$disk/openssh"
"$kxmp" setup >/dev/null
mkdir -p "$home/registry/Runtime"
printf 1 >"$home/registry/Runtime/nCSONLINE"
"$kxmp" catalog add-mount-path --id 1 --host 'ma1*ma1*0*0' --path /disk1 >/dev/null
"$kxmp" catalog add-subclient --id 7 --backupset-guid bs-bench >/dev/null
"$kxmp" catalog attach --subclient 7 --mount-path 1 --primary >/dev/null
hostkey=$(cut -d' ' -f1,2 "${SSHD_BASE[ma1]}/host_ed25519.pub")
known=$home/known_hosts
stored=$disk/disk1/KX_APP_DUMPS/bs-bench

make_files() {  # N: $home/src holds N files of 64 KiB and their sums
  rm -rf "$home/src"
  mkdir -p "$home/src"
  local i
  for i in $(seq -w 1 "$1"); do head -c 65536 /dev/urandom >"$home/src/log_$i.trn"; done
  (cd "$home/src" && sha256sum log_*.trn >"$home/src.sha256")
}

now_ns() { date +%s%N; }
secs() { python3 -c "print('%.2f' % (($2 - $1) / 1e9))"; }

printf '%-6s %-5s %-28s %8s\n' rtt_ms files what seconds
results=()
for rtt in "${rtts[@]}"; do
  n=${FILES_AT_DISTANCE:-30}
  [ "$rtt" = 0 ] && n=${FILES_AT_0:-300}
  make_files "$n"
  stop_relay
  coproc RELAY { exec "$relay" 127.0.0.1 127.0.0.2 "${SSHD_PORT[ma1]}" "$rtt"; }
  relay_pid=$RELAY_PID
  read -r port <&"${RELAY[0]}"
  printf '[127.0.0.1]:%s %s\n' "$port" "$hostkey" >"$known"
  "$kxmp" storage-host set ma1 --address 127.0.0.1 --port "$port" --user "$(id -un)" \
    --identity "${SSHD_IDENTITY[ma1]}" --known-hosts "$known" >/dev/null
  ssh_opts=(-q -i "${SSHD_IDENTITY[ma1]}" -o UserKnownHostsFile="$known" -o StrictHostKeyChecking=yes
    -o BatchMode=yes -P "$port")
  dest="$(id -un)@127.0.0.1"
  : >"$home/put.batch"
  : >"$home/get.batch"
  for f in "$home"/src/log_*.trn; do
    echo "put $f /openssh/" >>"$home/put.batch"
    echo "get /openssh/$(basename "$f") $home/back-sftp/" >>"$home/get.batch"
  done
  for run in $(seq 1 "$runs"); do
    declare -A t=()
    for what in kxmp-jobs1 kxmp-jobs4 sftp scp; do
      rm -rf "$disk/disk1/KX_APP_DUMPS" "$disk"/openssh/*
      t0=$(now_ns)
      case $what in
        kxmp-jobs1) "$kxmp" backup --subclient 7 "$home"/src/log_*.trn >/dev/null ;;
        kxmp-jobs4) "$kxmp" backup --subclient 7 --jobs 4 "$home"/src/log_*.trn >/dev/null ;;
        sftp) sftp "${ssh_opts[@]}" -b "$home/put.batch" "$dest" >/dev/null ;;
        scp) scp "${ssh_opts[@]}" -B "$home"/src/log_*.trn "$dest:/openssh/" ;;
      esac
      t1=$(now_ns)
      t[$what]=$(secs "$t0" "$t1")
      case $what in
        kxmp*) (cd "$stored" && sha256sum --quiet -c "$home/src.sha256") ;;
        *) (cd "$disk/openssh" && sha256sum --quiet -c "$home/src.sha256") ;;
      esac || { echo "$what: the copy differs" >&2; exit 1; }
      printf '%-6s %-5s %-28s %8s\n' "$rtt" "$n" "backup $what" "${t[$what]}"
    done
    # Restore what the last kxmp backup left and what sftp put there (scp's copies are the same files).
    "$kxmp" backup --subclient 7 "$home"/src/log_*.trn >/dev/null
    sftp "${ssh_opts[@]}" -b "$home/put.batch" "$dest" >/dev/null
    for what in restore-kxmp restore-sftp; do
      rm -rf "$home/back-kxmp" "$home/back-sftp"
      mkdir -p "$home/back-sftp"
      t0=$(now_ns)
      case $what in
        restore-kxmp) "$kxmp" restore --subclient 7 '^log_' --to "$home/back-kxmp" >/dev/null; d=$home/back-kxmp ;;
        restore-sftp) sftp "${ssh_opts[@]}" -b "$home/get.batch" "$dest" >/dev/null; d=$home/back-sftp ;;
      esac
      t1=$(now_ns)
      t[$what]=$(secs "$t0" "$t1")
      (cd "$d" && sha256sum --quiet -c "$home/src.sha256") || { echo "$what: the copy differs" >&2; exit 1; }
      printf '%-6s %-5s %-28s %8s\n' "$rtt" "$n" "$what" "${t[$what]}"
    done
    results+=("$rtt $n ${t[kxmp-jobs1]} ${t[kxmp-jobs4]} ${t[sftp]} ${t[scp]} ${t[restore-kxmp]} ${t[restore-sftp]}")
    unset t
  done
done
stop_relay
echo
echo "rtt_ms files  backup: jobs1/sftp jobs1/scp jobs4/sftp jobs1/jobs4   restore: kxmp/sftp"
for r in "${results[@]}"; do
  python3 - $r <<'EOF'
import sys
rtt, n, j1, j4, sftp, scp, rk, rs = sys.argv[1:]
j1, j4, sftp, scp, rk, rs = map(float, (j1, j4, sftp, scp, rk, rs))
print("%6s %5s  %16.2f %9.2f %10.2f %11.2f   %16.2f" % (rtt, n, j1 / sftp, j1 / scp, j4 / sftp, j1 / j4, rk / rs))
EOF
done
