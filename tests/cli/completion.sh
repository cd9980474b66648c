#!/bin/bash
# Loads the bash completion in a plain, non-interactive bash (no
# bash-completion package) and checks what it offers; parses the zsh one
# when zsh is installed.
#   completion.sh BASH_COMPLETION ZSH_COMPLETION
set -u
# shellcheck source=/dev/null
source "$1" || exit 1
failed=0
# expect "WANTED REPLY" WORD...: completing the last WORD offers exactly that.
expect() {
    local wanted=$1
    shift
    COMP_WORDS=(oscprobe "$@") COMP_CWORD=$#
    COMP_LINE="oscprobe $*" COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _oscprobe oscprobe "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got="${COMPREPLY[*]}"
    if [ "$got" != "$wanted" ]; then
        echo "oscprobe $*: offered '$got', wanted '$wanted'"
        failed=1
    fi
}
expect "check" ch
expect "--disk-below --dir" check --di
expect "wired wireless" status --probe w
expect "wired wireless" --log /tmp/x wait --iface ''
expect "infinity" run --timeout ''
expect "--exec-condition" check --e
expect "" run --cpu 50 -- --di
if command -v zsh >/dev/null && ! zsh -n "$2"; then
    echo "$2 does not parse"
    failed=1
fi
[ "$failed" -eq 0 ] && echo "completions offer what they should"
exit "$failed"
