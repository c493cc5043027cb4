#!/usr/bin/env bash
# docs/options.md is complete: every option that `flashwire --help` and the
# library's own help (after an unknown option) list has its section there,
# and every flag of the flash, verify and read commands has its row.
# usage: options_doc.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
doc="${2:?source dir}/docs/options.md"
cli="$build/flashwire"
[ -f "$doc" ] || { echo "FAIL: $doc is missing"; exit 1; }

# Options of the option string: "/name=" in the command line's help and in
# the library's help lines.
options=$( { "$cli" --help; "$cli" -v /nosuchoption=1 2>&1 | grep "^\[0\] /"; } | grep -o '/[a-z]\+=' | tr -d '/=' | sort -u)
[ "$(wc -w <<<"$options")" -ge 16 ] || { echo "FAIL: only $(wc -w <<<"$options") options found in the helps"; exit 1; }
for o in $options; do
    grep -q "^### /$o\$" "$doc" || grep -q "(\`/$o\` is the same option)" "$doc" || fail "docs/options.md has no section /$o"
done
# Flags of the commands that build the option string.
for c in flash verify read; do
    for f in $("$cli" "$c" --help | grep -o -- '^  --[a-z-]\+' | tr -d ' '); do
        case "$f" in --help | --config-dir | --json | --quiet | --verbose | --timeout | --connect-timeout | --dry-run) continue ;; esac
        grep -q -- "\`$f" "$doc" || fail "docs/options.md has no row for $c $f"
    done
done
[ $failures -eq 0 ] && pass "docs/options.md describes the $(wc -w <<<"$options") options of the helps and the commands' flags"
[ $failures -eq 0 ]
