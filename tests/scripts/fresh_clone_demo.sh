#!/usr/bin/env bash
# The README's first command as a new user meets it: a clone of this checkout with no build
# folder, then scripts/demo, which must build everything it loads and end its story; then
# what that Release build installs, checked for hardening and for paths of the build.
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

# The Release build is hardened as distributions build theirs, and what it installs names
# neither the clone's folder nor its build folder.
prefix=$work/prefix
cmake --build build/release --target kxmp-docs >/dev/null || { echo "the pages were not written" >&2; exit 1; }
cmake --install build/release --prefix "$prefix" >/dev/null 2>&1 || { echo "the install failed" >&2; exit 1; }
libdir=$(dirname "$(find "$prefix" -name libKXMAMountingPointSvc.so.1 | head -n 1)")
# Outputs are read whole: grep -q would end a pipe early, which pipefail reports.
for f in "$prefix"/bin/kxmp "$prefix"/bin/kxmp-host "$libdir"/libKXMAMountingPointSvc.so.1 "$libdir"/kxmp/*.so; do
  dynamic=$(readelf -d "$f") segments=$(readelf -lW "$f") text=$(strings -a "$f")
  grep -q 'BIND_NOW\|FLAGS_1.*NOW' <<<"$dynamic" || { echo "$f is not linked with -z now" >&2; exit 1; }
  grep -q GNU_RELRO <<<"$segments" || { echo "$f has no RELRO segment" >&2; exit 1; }
  if grep -qF "$work" <<<"$text"; then echo "$f names the build folder" >&2; exit 1; fi
done
for f in "$prefix"/bin/kxmp "$prefix"/bin/kxmp-host; do
  header=$(readelf -h "$f")
  grep -q 'Type:.*DYN' <<<"$header" || { echo "$f is not PIE" >&2; exit 1; }
done
symbols=$(nm -D "$libdir"/libKXMAMountingPointSvc.so.1)
grep -q '__stack_chk_fail' <<<"$symbols" || { echo "no stack protector" >&2; exit 1; }
symbols=$(nm -D "$prefix"/bin/kxmp)
grep -q '_chk@' <<<"$symbols" || { echo "no fortified calls" >&2; exit 1; }
echo "hardened, and no build folder named"
