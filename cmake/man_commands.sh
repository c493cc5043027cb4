#!/bin/sh
# Writes the help2man include file of the manual page flashwire(1): the
# sections that --help alone does not give (each command with its own help),
# then the static sections of docs/flashwire.h2m.
# usage: man_commands.sh FLASHWIRE STATIC_INCLUDE OUTPUT
set -eu
cli=$1
static=$2
out=$3
{
    echo "[COMMANDS]"
    for c in flash verify read platforms ports; do
        echo ".SS $c"
        echo ".nf"
        "$cli" "$c" --help | sed -e 's/\\/\\e/g' -e 's/^\./\\\&./' -e "s/^'/\\\\\&'/"
        echo ".fi"
    done
    echo
    cat "$static"
} > "$out.tmp"
mv "$out.tmp" "$out"
