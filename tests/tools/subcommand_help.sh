#!/bin/bash
# A command line that names one subcommand registers only that one: each subcommand's help
# must be what it is with every subcommand registered (another subcommand's name on the line,
# here as the value of --home, makes the tool register all of them).
# Usage: subcommand_help.sh BUILD_DIR
set -euo pipefail
kxmp=$1/tools/kxmp/kxmp
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export ASAN_OPTIONS=detect_leaks=0

grep -q "^Usage: kxmp \[OPTIONS\] SUBCOMMAND" <(exec -a kxmp "$kxmp" --help) || { echo "FAIL: no usage line" >&2; exit 1; }
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
echo "every subcommand's help is its own"
