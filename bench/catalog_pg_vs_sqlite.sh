#!/usr/bin/env bash
# Runs build/release/bench/catalog_bench against a throwaway PostgreSQL cluster (Unix socket
# only, in a temporary folder, as the postgres user when run as root) and against SQLite.
#   bench/catalog_pg_vs_sqlite.sh [build dir] [runs]
set -euo pipefail
build=${1:-build/release}
runs=${2:-5}
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
dir=$(mktemp -d /tmp/kxmp-pgbench-XXXXXX)
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  chown postgres: "$dir"
  as_owner=(runuser -u postgres --)
fi
cleanup() {
  "${as_owner[@]}" env --chdir="$dir" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
"${as_owner[@]}" env --chdir="$dir" "$bin/initdb" -D "$dir/data" -U postgres -A trust --no-locale -E UTF8 >/dev/null
"${as_owner[@]}" env --chdir="$dir" "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
  -o "-c listen_addresses='' -k $dir -p 5432" start >/dev/null
for i in $(seq "$runs"); do
  "$bin/psql" -h "$dir" -U postgres -qc "CREATE DATABASE bench$i" postgres
  KXMP_BENCH_PG="host=$dir port=5432 dbname=bench$i user=postgres" \
    "$build/bench/catalog_bench" --benchmark_format=console --benchmark_min_time=1
done
