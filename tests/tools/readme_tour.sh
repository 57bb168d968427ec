#!/usr/bin/env bash
# Runs the README's tour of the tool as written, in a temporary home: every line must succeed
# with no hand edits. Only the places a reader would pick for themselves are moved into the
# temporary folder (the home, the mount path, the log files, the restore folder).
#   readme_tour.sh BUILD_DIR
set -euo pipefail
SRC=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "$1" && pwd)
T=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-tour-XXXXXX")
HOST_PID=
cleanup() {
  if [ -n "$HOST_PID" ]; then kill -TERM "$HOST_PID" 2>/dev/null || true; wait "$HOST_PID" 2>/dev/null || true; fi
  rm -rf "$T"
}
trap cleanup EXIT
mkdir -p "$T/bin" "$T/mnt/disk1" "$T/var/log/db" "$T/tmp"
ln -s "$BUILD/tools/kxmp/kxmp" "$T/bin/kxmp"
ln -s "$BUILD/tools/host/kxmp-host" "$T/bin/kxmp-host"
for i in 1 2 3; do head -c $((i * 4096)) /dev/urandom >"$T/var/log/db/log_$i.trn"; done

# The tour: the indented lines after its heading, up to the next heading.
sed -n '/^## A short tour of the tool/,/^## /{/^    /p}' "$SRC/README.md" |
  sed -e 's/^    //' -e "s#/srv/kxmp#$T/home#g" -e "s#/mnt/disk1#$T/mnt/disk1#g" \
      -e "s#/var/log/db/#$T/var/log/db/#g" -e "s#/tmp/back#$T/tmp/back#g" >"$T/tour.sh"
[ -s "$T/tour.sh" ] || { echo "FAILED: no tour found in README.md" >&2; exit 1; }

# Each line runs in this shell, so export and & act as they would for the reader. A host
# started with & must be serving before the next line talks to it.
export PATH="$T/bin:$PATH"
n=0
while IFS= read -r line; do
  n=$((n + 1))
  echo "+ $line"
  case $line in
    kxmp-host*'&'*)
      eval "${line%%&*} >$T/host.out 2>&1 &"
      HOST_PID=$!
      for _ in $(seq 600); do grep -q '^kxmp-host: serving' "$T/host.out" && break; sleep 0.1; done
      grep -q '^kxmp-host: serving' "$T/host.out" || { cat "$T/host.out"; echo "FAILED: line $n: the host did not start" >&2; exit 1; }
      ;;
    *)
      if ! eval "$line"; then echo "FAILED: line $n of the tour: $line" >&2; exit 1; fi
      ;;
  esac
done <"$T/tour.sh"
# The restore brought back exactly what was backed up.
for f in "$T"/var/log/db/*.trn; do cmp "$f" "$T/tmp/back/$(basename "$f")"; done
echo "the README's tour ran as written ($n lines)"
