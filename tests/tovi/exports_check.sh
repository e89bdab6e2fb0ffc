#!/bin/sh
# Compares the symbols a shared library exports with the list it may export.
# usage: exports_check.sh LIBRARY SYMBOL-LIST
# The list holds one name a line; blank lines and lines starting with # are
# skipped.  Any export missing from the list, or listed but not exported,
# fails the check.
set -eu

lib=$1
list=$2
[ -r "$lib" ] || { echo "exports_check: cannot read $lib" >&2; exit 2; }
[ -r "$list" ] || { echo "exports_check: cannot read $list" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Defined, global, dynamic symbols of any kind (code, data, weak, unique),
# without version suffixes, the linker's own markers and the markers that a
# sanitizer build adds to exported data (__odr_asan.NAME).
nm -D --defined-only --extern-only "$lib" |
  awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' |
  grep -v -x -E '_init|_fini|_edata|_end|__bss_start|_DYNAMIC|_GLOBAL_OFFSET_TABLE_|__odr_asan\..*' |
  LC_ALL=C sort -u >"$tmp/actual"
grep -v -E '^[[:space:]]*(#|$)' "$list" | LC_ALL=C sort -u >"$tmp/expected"

status=0
LC_ALL=C comm -23 "$tmp/actual" "$tmp/expected" >"$tmp/extra"
LC_ALL=C comm -13 "$tmp/actual" "$tmp/expected" >"$tmp/missing"
while read -r sym; do
  echo "exported but not listed: $sym"
  status=1
done <"$tmp/extra"
while read -r sym; do
  echo "listed but not exported: $sym"
  status=1
done <"$tmp/missing"
[ $status -eq 0 ] && echo "exports match $(wc -l <"$tmp/expected") listed symbols"
exit $status
