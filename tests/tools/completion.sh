#!/bin/bash
# The completion scripts the tools wrote from their command tables, run by bash as it
# completes a word: subcommands (nested ones too), options, fixed values and file names, for
# kxmp and kxmp-host. zsh's script is checked for syntax where zsh is installed.
# Usage: completion.sh BUILD_DIR
set -euo pipefail
docs=$(cd "$1" && pwd)/docs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/folder"
touch "$work/folder/a.trn" "$work/file.trn"
cd "$work"

failed=0
# expect "LINE" "WORD..." : completing at the end of LINE offers exactly these words.
expect() {
  local line=$1 want=$2 got
  got=$(bash --norc --noprofile -c '
    source "$1"; source "$2"
    line=$3
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line COMP_POINT=${#line}
    binding=$(complete -p "${COMP_WORDS[0]}") || exit 1
    fn=${binding#*-F }; fn=${fn%% *}
    "$fn" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ "$docs/bash-completion/kxmp" "$docs/bash-completion/kxmp-host" "$line")
  if [ "${got% }" != "$want" ]; then
    echo "FAIL: [$line] completes to [${got% }], wanted [$want]" >&2
    failed=1
  fi
}

expect "kxmp ca" "cache catalog"
expect "kxmp catalog a" "add-mount-path add-subclient attach"
expect "kxmp --home folder catalog l" "list"
expect "kxmp storage-host " "check list remove set"
expect "kxmp control-server " "offline online"
expect "kxmp control-server o" "offline online"
expect "kxmp backup --sub" "--subclient"
expect "kxmp catalog attach --pr" "--primary"
expect "kxmp --ho" "--home"
expect "kxmp --home fol" "folder"
expect "kxmp --home=fol" "folder"
expect "kxmp restore --to fol" "folder"
expect "kxmp backup --subclient 7 fi" "file.trn"
expect "kxmp backup --subclient " ""
expect "kxmp backup --stream 1 folder/" "folder/a.trn"
expect "kxmp storage-host set ma1 --identity fi" "file.trn"
expect "kxmp-host --allowed" "--allowed-group"
expect "kxmp-host --socket fi" "file.trn"
expect "kxmp-host --home fol" "folder"

if command -v zsh >/dev/null; then
  for f in "$docs"/zsh/_*; do zsh -n "$f" || { echo "FAIL: $f is not valid zsh" >&2; failed=1; }; done
fi
exit $failed
