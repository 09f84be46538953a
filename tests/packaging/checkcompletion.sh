#!/usr/bin/env bash
# The bash completion of quorvane-cli, loaded as bash-completion loads it and asked as a Tab
# asks it: "checkcompletion.sh SCRIPT BIN_DIR". Exits 77 (a skip) without bash-completion.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

framework=/usr/share/bash-completion/bash_completion
[[ -r $framework ]] || { echo "SKIP: bash-completion is not installed"; exit 77; }
set +eu   # the framework is written for interactive shells
source "$framework"
source "$1"
set -eu
export PATH=$2:$PATH
complete -p quorvane-cli | grep -q _quorvane_cli || fail "quorvane-cli has no completion"

# What Tab offers after the words given, the last one being completed.
offers() {
    COMP_WORDS=(quorvane-cli "$@")
    COMP_CWORD=$#
    COMP_LINE="quorvane-cli $*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quorvane_cli quorvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"
}
expect() {
    local want=$1
    shift
    [[ $(offers "$@") == "$want" ]] || fail "'quorvane-cli $*<Tab>' gives '$(offers "$@")', not '$want'"
}
expect --existing --ex
expect "simple joint" --stereo ""
expect "192" -b 19
expect "rename" --existing=r
expect "--skip-existing" -o . --skip
echo "PASS"
