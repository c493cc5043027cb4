#!/usr/bin/env bash
# The shared library exports exactly the functions the public header declares
# with FLASHWIRE_EXPORT, and nothing else of its own.
# Usage: nm_exports.sh <build dir> [<source dir>]
set -euo pipefail
build="${1:?build directory}"
source="${2:-$(cd "$(dirname "$0")/../.." && pwd)}"
lib="$build/libflashwire.so"
header="$source/include/flashwire/flash_api.h"

[ -f "$lib" ] || { echo "nm_exports: $lib not found"; exit 1; }

declared=$(grep -oE 'FLASHWIRE_EXPORT[^(]*\b(Flash[A-Za-z0-9_]+)[[:space:]]*\(' "$header" |
           grep -oE 'Flash[A-Za-z0-9_]+[[:space:]]*\($' | tr -d '( ' | sort -u)
# Defined dynamic symbols, without version suffixes.
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u)

status=0
for f in FlashInit FlashFinish FlashParseOptionString FlashMakeOptionString FlashGetErrorString FlashLoad \
         FlashMapPort FlashSetDataDirectory FlashSetTraceFile; do
  grep -qx "$f" <<<"$declared" || { echo "nm_exports: $f is not declared in the header"; status=1; }
done
for f in $declared; do
  grep -qx "$f" <<<"$exported" || { echo "nm_exports: $f is declared but not exported"; status=1; }
done
for s in $exported; do
  grep -qx "$s" <<<"$declared" || { echo "nm_exports: unexpected exported symbol $s"; status=1; }
done
[ $status -eq 0 ] && echo "nm_exports: exactly $(echo $declared | wc -w) functions exported: $(echo $declared)"
exit $status
