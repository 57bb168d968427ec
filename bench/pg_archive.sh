#!/usr/bin/env bash
# kxmp as a PostgreSQL cluster's archive and restore commands, the tree before push/get
# against the tree after, side by side with the plain tools, on one disk ($TMPDIR):
#   1. per call, 16 MiB segments, one process per segment as a server runs them: archive
#      (before: kxmp backup --metadata; after: kxmp push; floor: cp + sync of the file) and
#      fetch to a path (before: the wrapper below around kxmp restore; after: kxmp get;
#      floor: cp + sync); medians, and each against the floor
#   2. a real PostgreSQL recovery from a base backup to the end of an archive of SEGMENTS
#      16 MiB segments (default 30), restore_command the wrapper, kxmp get, or plain cp; time
#      from the server's start to its promotion, RUNS rounds taken in turns
# Usage: [RUNS=3] [SEGMENTS=30] bench/pg_archive.sh BEFORE_DIR [AFTER_BUILD]
#   BEFORE_DIR: tools/kxmp/kxmp, kxmp/*.so and libKXMAMountingPointSvc.so* of the tree before,
#   in a build tree's layout (a release build of it will do); AFTER_BUILD: default
#   build/release. Needs PostgreSQL's server programs, runs the server as postgres when run as
#   root, and about 2 GiB free; everything is removed at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
before=$(cd "${1:?usage: bench/pg_archive.sh BEFORE_DIR [AFTER_BUILD]}" && pwd)/tools/kxmp/kxmp
after=$(cd "${2:-$top/build/release}" && pwd)/tools/kxmp/kxmp
for b in "$before" "$after"; do [ -x "$b" ] || { echo "missing $b" >&2; exit 1; }; done
runs=${RUNS:-3}
segments=${SEGMENTS:-30}
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)

if [ "$(id -u)" = 0 ]; then
  pguser=postgres
  as_pg() { runuser -u postgres -- "$@"; }
else
  pguser=$(id -un)
  as_pg() { "$@"; }
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-pgbench-XXXXXX")
chmod 755 "$work"
cleanup() {
  for d in "$work"/pg*/data; do
    if [ -f "$d/postmaster.pid" ]; then as_pg "$pgbin/pg_ctl" -D "$d" -m immediate stop >/dev/null 2>&1 || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

now_ns() { date +%s%N; }
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e6 }'; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
owned() { mkdir -p "$@"; if [ "$pguser" = postgres ]; then chown postgres "$@"; fi; }

# Home N (made by the after tree): subclient 7 stores on mount path mpN; with OWNER it is
# handed to that user. Beside it the restore command as it had to be written before kxmp
# get: restore writes into a folder under the stored name, matches a pattern, never replaces.
make_home() {  # N [OWNER]
  local home=$work/home$1
  mkdir -p "$work/mp$1"
  "$after" --home "$home" setup >/dev/null
  "$after" --home "$home" catalog add-mount-path --id 1 --host 'ma1*ma1*0*0' --path "$work/mp$1" >/dev/null
  "$after" --home "$home" catalog add-subclient --id 7 >/dev/null
  "$after" --home "$home" catalog attach --subclient 7 --mount-path 1 --primary >/dev/null
  if [ -n "${2:-}" ]; then "$after" --home "$home" setup --owner "$2" >/dev/null; fi
  {
    echo '#!/bin/sh'
    echo '# restore_command = '"'"'before-restore.sh %f %p'"'"
    echo 'tmp=$(mktemp -d "$(dirname "$2")/.kxmp-restore.XXXXXX") || exit 1'
    echo "\"$before\" --home \"$home\" -q restore --subclient 7 \"\$1\" --to \"\$tmp\" >/dev/null 2>&1"
    echo 'status=$?'
    echo 'if [ $status -eq 0 ]; then mv -f "$tmp/$1" "$2"; status=$?; fi'
    echo 'rm -rf "$tmp"'
    echo 'exit $status'
  } >"$work/before-restore$1.sh"
  chmod 755 "$work/before-restore$1.sh"
}

echo "== 1. per call, $segments segments of 16 MiB (before: backup --metadata / restore wrapper; after: push / get)"
make_home 1
home=$work/home1
mkdir -p "$work/src" "$work/floor" "$work/out"
for i in $(seq 1 "$segments"); do
  head -c $((16 << 20)) /dev/urandom >"$work/src/$(printf '0000000100000001%08X' "$i")"
done
sync
: >"$work/push"
: >"$work/get"
for f in "$work"/src/*; do
  name=$(basename "$f")
  t0=$(now_ns); "$before" --home "$home" backup --subclient 7 --metadata --root-folder before "$f" >/dev/null
  t1=$(now_ns); "$after" --home "$home" push --subclient 7 "$f"
  t2=$(now_ns); cp "$f" "$work/floor/$name" && sync "$work/floor/$name"
  t3=$(now_ns)
  echo "$(ms "$t0" "$t1") $(ms "$t1" "$t2") $(ms "$t2" "$t3")" >>"$work/push"
done
root=$(ls -d "$work"/mp1/KX_APP_DUMPS/*)
for f in "$work"/src/*; do
  name=$(basename "$f")
  t0=$(now_ns); "$work/before-restore1.sh" "$name" "$work/out/RECOVERYXLOG"
  t1=$(now_ns); "$after" --home "$home" get --subclient 7 "$name" "$work/out/RECOVERYXLOG"
  t2=$(now_ns); cp "$root/$name" "$work/out/FLOOR" && sync "$work/out/FLOOR"
  t3=$(now_ns)
  cmp -s "$f" "$work/out/RECOVERYXLOG" || { echo "get fetched something else for $name" >&2; exit 1; }
  echo "$(ms "$t0" "$t1") $(ms "$t1" "$t2") $(ms "$t2" "$t3")" >>"$work/get"
done
for what in push get; do
  b=$(cut -d' ' -f1 "$work/$what" | median); a=$(cut -d' ' -f2 "$work/$what" | median)
  fl=$(cut -d' ' -f3 "$work/$what" | median)
  awk -v w="$what" -v b="$b" -v a="$a" -v f="$fl" 'BEGIN {
    printf "%s per call, median ms: before %.1f, after %.1f, floor (cp + sync) %.1f; before/floor %.2f, after/floor %.2f\n",
      w, b, a, f, b / f, a / f }'
done
rm -rf "$work/src" "$work/floor" "$work/out" "$work/mp1"

echo "== 2. recovery of $segments segments of 16 MiB, to the end of the archive, $runs rounds"
make_home 2 "$pguser"  # the server runs kxmp as its own user
home=$work/home2
primary=$work/pg0
owned "$primary" "$work/base"
as_pg "$pgbin/initdb" -D "$primary/data" -U postgres -A trust --no-sync --no-locale -E UTF8 >/dev/null
cat >>"$primary/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$primary'
wal_level = replica
archive_mode = on
archive_command = '$after --home $home push --subclient 7 %p'
max_wal_senders = 4
CONF
as_pg "$pgbin/pg_ctl" -D "$primary/data" -l "$primary/log" -w start >/dev/null
psql_at() { as_pg "$pgbin/psql" -h "$1" -U postgres -d postgres -Atqc "$2"; }
psql_at "$primary" "CREATE TABLE t (id int)"
as_pg "$pgbin/pg_basebackup" -h "$primary" -U postgres -D "$work/base/data" -X none -c fast 2>/dev/null
last=
for i in $(seq 1 "$segments"); do
  psql_at "$primary" "INSERT INTO t VALUES ($i)"
  last=$(psql_at "$primary" "SELECT pg_walfile_name(pg_switch_wal())")
done
until [ "$(psql_at "$primary" "SELECT last_archived_wal >= '$last' FROM pg_stat_archiver")" = t ]; do sleep 0.05; done
as_pg "$pgbin/pg_ctl" -D "$primary/data" -m fast -w stop >/dev/null

recover() {  # RESTORE_COMMAND: prints the seconds from the server's start to its promotion
  local dir=$work/pg-$RANDOM
  owned "$dir"
  as_pg cp -a "$work/base/data" "$dir/data"
  as_pg touch "$dir/data/recovery.signal"
  printf "archive_mode = off\nunix_socket_directories = '%s'\nrestore_command = '%s'\n" "$dir" "$1" >>"$dir/data/postgresql.conf"
  local t0 t1
  t0=$(now_ns)
  as_pg "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/log" start >/dev/null
  until [ "$(psql_at "$dir" "SELECT NOT pg_is_in_recovery()" 2>/dev/null)" = t ]; do sleep 0.02; done
  t1=$(now_ns)
  [ "$(psql_at "$dir" "SELECT count(*) FROM t")" = "$segments" ] || { echo "recovery lost rows" >&2; cat "$dir/log" >&2; exit 1; }
  as_pg "$pgbin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null
  rm -rf "$dir"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) / 1e9 }'
}
root=$(ls -d "$work"/mp2/KX_APP_DUMPS/*)
: >"$work/recovery"
for run in $(seq "$runs"); do
  fl=$(recover "cp $root/%f %p")
  b=$(recover "$work/before-restore2.sh %f %p")
  a=$(recover "$after --home $home get --subclient 7 %f %p")
  echo "round $run: floor (cp) $fl s, before (wrapper around restore) $b s, after (get) $a s"
  echo "$fl $b $a" >>"$work/recovery"
done
fl=$(cut -d' ' -f1 "$work/recovery" | median)
b=$(cut -d' ' -f2 "$work/recovery" | median)
a=$(cut -d' ' -f3 "$work/recovery" | median)
awk -v b="$b" -v a="$a" -v f="$fl" 'BEGIN {
  printf "recovery, median s: before %.2f, after %.2f, floor (cp) %.2f; before/floor %.2f, after/floor %.2f\n",
    b, a, f, b / f, a / f }'
