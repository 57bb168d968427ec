#!/bin/bash
# kxmp's front end answers `--help`, `-h` and `--version` with exactly what the tool says
# (standard output, standard error, exit status), whatever argv[0] is, without loading the tool
# or the library; every other command line reaches the tool unchanged.
# Usage: front_end.sh BUILD_DIR
set -euo pipefail
build=$1
kxmp=$build/tools/kxmp/kxmp
run_tool=$build/tools/kxmp/kxmp-run-tool
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export ASAN_OPTIONS=detect_leaks=0

# compare ARGV0 ARGS...: the front end called with argv[0] ARGV0 against the tool itself.
compare() {
  local argv0=$1
  shift
  local rc=0
  (exec -a "$argv0" "$kxmp" "$@") >"$tmp/front.out" 2>"$tmp/front.err" || rc=$?
  echo "$rc" >"$tmp/front.rc"
  rc=0
  "$run_tool" "$argv0" "$@" >"$tmp/tool.out" 2>"$tmp/tool.err" || rc=$?
  echo "$rc" >"$tmp/tool.rc"
  for part in out err rc; do
    if ! cmp -s "$tmp/front.$part" "$tmp/tool.$part"; then
      echo "FAIL: kxmp $* (argv[0] '$argv0'): the front end's $part differs from the tool's" >&2
      diff "$tmp/tool.$part" "$tmp/front.$part" >&2 || true
      exit 1
    fi
  done
}

for argv0 in "$kxmp" kxmp "/a folder/with spaces/kxmp" "@KXMP"; do
  for option in --help -h --version; do
    compare "$argv0" "$option"
  done
done
# Anything else is the tool's: options after the help flag, subcommands, usage errors.
compare kxmp --help --json
compare kxmp --version -v
compare kxmp backup --help
compare kxmp --no-such-option

# A command line that names one subcommand registers only that one: each subcommand's help
# must be what it is with every subcommand registered (another subcommand's name on the line,
# here as the value of --home, makes the tool register all of them).
subcommands=$(exec -a kxmp "$kxmp" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF {print $1}')
[ "$(echo "$subcommands" | wc -w)" -ge 10 ] || { echo "FAIL: too few subcommands in --help: $subcommands" >&2; exit 1; }
for sub in $subcommands; do
  other=setup
  [ "$sub" = setup ] && other=backup
  (exec -a kxmp "$kxmp" "$sub" --help) >"$tmp/only.out" 2>&1 || { echo "FAIL: kxmp $sub --help failed" >&2; exit 1; }
  (exec -a kxmp "$kxmp" "$sub" --help --home "$other") >"$tmp/all.out" 2>&1 || true
  grep -q "^Usage: kxmp $sub " "$tmp/only.out" || { echo "FAIL: kxmp $sub --help is not its own" >&2; cat "$tmp/only.out" >&2; exit 1; }
  cmp -s "$tmp/only.out" "$tmp/all.out" || { echo "FAIL: kxmp $sub --help differs" >&2; diff "$tmp/all.out" "$tmp/only.out" >&2; exit 1; }
done

grep -q "^Usage: kxmp \[OPTIONS\] SUBCOMMAND" <(exec -a kxmp "$kxmp" --help) || { echo "FAIL: no usage line" >&2; exit 1; }
# The answers map neither the tool nor the library.
if LD_DEBUG=files "$kxmp" --help 2>&1 >/dev/null | grep -E "libkxmp-tool|libKXMAMountingPointSvc" >&2; then
  echo "FAIL: kxmp --help loaded the tool or the library" >&2
  exit 1
fi
echo "front end: every answer matches the tool's"
