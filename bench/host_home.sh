# Sourced by the host benchmarks: a home in $KX_HOME made by kxmp setup (the control server
# online) with subclient 42 served by the mount paths given (the first primary, the others
# alternates), each a folder below the home on storage host ma<n>. Uses $build's kxmp.
#   host_home_setup HOME PATH_COUNT
host_home_setup() {
  local home=$1 count=$2 i kxmp=$build/tools/kxmp/kxmp
  "$kxmp" setup --home "$home" >/dev/null
  "$kxmp" --home "$home" catalog add-subclient --id 42 --guid guid-42 >/dev/null
  for i in $(seq "$count"); do
    mkdir -p "$home/disk$i"
    "$kxmp" --home "$home" catalog add-mount-path --id $((100 + i)) --host "ma$i*ma*1*2" --path "$home/disk$i" \
      --library lib >/dev/null
    "$kxmp" --home "$home" catalog attach --subclient 42 --mount-path $((100 + i)) \
      "$([ "$i" = 1 ] && echo --primary || echo --alternate)" >/dev/null
  done
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
