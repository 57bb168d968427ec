# Sourced by the host benchmarks: a home in $KX_HOME with the control server online and
# subclient 42 served by the mount paths given (the first primary, the others alternates),
# each a folder below the home on storage host ma<n>.
#   host_home_setup HOME PATH_COUNT
host_home_setup() {
  local home=$1 count=$2 rows="" links="" i
  mkdir -p "$home/registry/Runtime"
  printf 1 > "$home/registry/Runtime/nCSONLINE"
  for i in $(seq "$count"); do
    mkdir -p "$home/disk$i"
    rows+="${rows:+, }($((100 + i)), 'ma$i*ma*1*2', '$home/disk$i', 'lib')"
    links+="${links:+, }(42, $((100 + i)), $([ "$i" = 1 ] && echo 0 || echo -1), $i)"
  done
  sqlite3 "$home/catalog.db" <<SQL
CREATE TABLE subclient (id INTEGER PRIMARY KEY, guid TEXT NOT NULL, backupset_guid TEXT NOT NULL DEFAULT '');
CREATE TABLE mount_path (id INTEGER PRIMARY KEY, host TEXT NOT NULL, path TEXT NOT NULL, library TEXT NOT NULL DEFAULT '');
CREATE TABLE subclient_mount_path (subclient_id INTEGER NOT NULL, mount_path_id INTEGER NOT NULL,
  kind INTEGER NOT NULL, position INTEGER NOT NULL, PRIMARY KEY (subclient_id, mount_path_id));
INSERT INTO subclient VALUES (42, 'guid-42', '');
INSERT INTO mount_path VALUES $rows;
INSERT INTO subclient_mount_path VALUES $links;
SQL
}

# A throw-away home for a benchmark run: sets home and KX_HOME, prepares it with PATH_COUNT
# mount paths, and on exit stops every process whose id the script added to pids and removes it.
#   host_bench_home NAME PATH_COUNT
host_bench_home() {
  home=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-$1-XXXXXX")
  pids=()
  trap host_bench_cleanup EXIT
  export KX_HOME=$home
  host_home_setup "$home" "$2"
}
host_bench_cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$home"
}

# Waits (up to 10 s) until a server's socket exists.
#   wait_for_socket PATH
wait_for_socket() {
  local _
  for _ in $(seq 100); do [ -S "$1" ] && return 0; sleep 0.1; done
  return 0
}
