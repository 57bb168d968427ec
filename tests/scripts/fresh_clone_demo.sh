#!/usr/bin/env bash
# The README's first command as a new user meets it: a clone of this checkout with no build
# folder, then scripts/demo, which must build everything it loads and end its story.
#   fresh_clone_demo.sh SOURCE_DIR
set -euo pipefail
src=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kxmp-fresh-clone-XXXXXX")
trap 'rm -rf "$work"' EXIT
git clone --quiet --no-hardlinks "$src" "$work/kxmp"
cd "$work/kxmp"
[ ! -e build ] || { echo "the clone has a build folder" >&2; exit 1; }
status=0
scripts/demo --no-keep >"$work/demo.out" 2>&1 || status=$?
tail -n 5 "$work/demo.out"
[ "$status" = 0 ] || { echo "scripts/demo ended with status $status" >&2; exit 1; }
tail -n 2 "$work/demo.out" | grep -qx '   The host stopped cleanly.' || { echo "the story did not end" >&2; exit 1; }
