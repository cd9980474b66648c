#!/bin/sh
# Fails when an option that `oscprobe [COMMAND] --help` shows is missing
# from the manual page, so the two cannot drift apart.
#   manpage.sh OSCPROBE MANPAGE
set -u
oscprobe=$1 page=$2
missing=0
for command in "" status check wait run ifaces; do
    # shellcheck disable=SC2086
    for option in $("$oscprobe" $command --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        escaped=$(printf '%s' "$option" | sed 's/-/\\\\-/g')
        if ! grep -q -- "$escaped" "$page"; then
            echo "${command:-oscprobe}: $option is not in the manual page"
            missing=1
        fi
    done
done
[ "$missing" -eq 0 ] && echo "every option is documented"
exit "$missing"
