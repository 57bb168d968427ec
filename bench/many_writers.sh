#!/usr/bin/env bash
# Two client machines (two homes) writing to one storage host at once: counts what goes wrong.
#   Storage: one OpenSSH server on 127.0.0.2 (host ma1, mount path /disk1) and one local
#   folder (host lo1), each a mount path of subclient 7 (SFTP) and 8 (local) in both homes,
#   with the same backup-set GUIDs, so both homes write into one root folder.
# Each section prints counts of faults over its rounds (see bench/many_writers.py); run it on
# two trees to compare them. Not a timing benchmark: the figures are fault counts.
# Usage: bench/many_writers.sh [build dir] [rounds scale] [sections...]   (default: build/asan, 1, all)
# Needs root (sshd chroots its sessions).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/asan}
scale=${2:-1}
kxmp=$build/tools/kxmp/kxmp
[ -x "$kxmp" ] || { echo "missing $kxmp" >&2; exit 1; }
# shellcheck source=../scripts/lib/loopback-sshd.sh
source "$top/scripts/lib/loopback-sshd.sh"
why=$(sshd_unavailable)
[ -z "$why" ] || { echo "cannot run an SSH server here: $why" >&2; exit 1; }

base=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-writers-XXXXXX")
trap 'sshd_stop_all; rm -rf "$base"' EXIT
sshd_start ma1 127.0.0.2
mkdir -m 755 "${SSHD_CHROOT[ma1]}/disk1"
mkdir "$base/shared"
for h in A B; do
  export KX_HOME=$base/$h
  "$kxmp" setup >/dev/null
  printf 1 >"$KX_HOME/registry/Runtime/nCSONLINE"
  "$kxmp" catalog add-mount-path --id 1 --host 'ma1*ma1*0*0' --path /disk1 >/dev/null
  "$kxmp" catalog add-mount-path --id 2 --host 'lo1*lo1*0*0' --path "$base/shared" >/dev/null
  "$kxmp" catalog add-subclient --id 7 --guid sc-7 --backupset-guid bs-7 >/dev/null
  "$kxmp" catalog add-subclient --id 8 --guid sc-8 --backupset-guid bs-8 >/dev/null
  "$kxmp" catalog attach --subclient 7 --mount-path 1 --primary >/dev/null
  "$kxmp" catalog attach --subclient 8 --mount-path 2 --primary >/dev/null
  "$kxmp" storage-host set ma1 --address 127.0.0.2 --port "${SSHD_PORT[ma1]}" --user "$(id -un)" \
    --identity "${SSHD_IDENTITY[ma1]}" --known-hosts "${SSHD_KNOWN_HOSTS[ma1]}" >/dev/null
done
unset KX_HOME
python3 "$top/bench/many_writers.py" "$kxmp" "$base" "${SSHD_CHROOT[ma1]}/disk1/KX_APP_DUMPS/bs-7" \
  "$base/shared/KX_APP_DUMPS/bs-8" "$scale" "${@:3}"
