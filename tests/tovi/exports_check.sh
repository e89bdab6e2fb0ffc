#!/bin/sh
# Compares the symbols a shared library exports with the list it may export.
# usage: exports_check.sh LIBRARY SYMBOL-LIST
# The list holds one name a line; blank lines and lines starting with # are
# skipped. Any export missing from the list, or listed but not exported,
# fails the check.
set -eu
[ -r "$1" ] && [ -r "$2" ] || { echo "exports_check: cannot read $1 or $2" >&2; exit 2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Defined, global, dynamic symbols of any kind (code, data, weak, unique),
# without version suffixes, the linker's own markers and the markers that a
# sanitizer build adds to exported data (__odr_asan.NAME).
nm -D --defined-only --extern-only "$1" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' |
  grep -v -x -E '_init|_fini|_edata|_end|__bss_start|_DYNAMIC|_GLOBAL_OFFSET_TABLE_|__odr_asan\..*' |
  LC_ALL=C sort -u >"$tmp/actual"
grep -v -E '^[[:space:]]*(#|$)' "$2" | LC_ALL=C sort -u >"$tmp/expected"
LC_ALL=C comm -23 "$tmp/actual" "$tmp/expected" | sed 's/^/exported but not listed: /' >"$tmp/report"
LC_ALL=C comm -13 "$tmp/actual" "$tmp/expected" | sed 's/^/listed but not exported: /' >>"$tmp/report"
[ -s "$tmp/report" ] && { cat "$tmp/report"; exit 1; }
echo "exports match $(wc -l <"$tmp/expected") listed symbols"
