#!/usr/bin/env bash
# Keeps the library's exports deliberate: they are exactly the lists kept in
# symbols/*.txt.
#   check_exports.sh SHARED_LIBRARY SYMBOL_LISTS [STATIC_ARCHIVE]
# The shared library is linked with a version script made from those lists,
# so its dynamic symbols must match them exactly (a listed symbol that is no
# longer defined shows here). With the static archive of the same objects,
# every symbol the sources mark for export (default visibility), apart from
# the standard library's template instances, must be listed too: otherwise
# the version script would hide a new entry point without a word.
set -euo pipefail
library=$1 lists=$2 archive=${3:-}
actual=$(mktemp) expected=$(mktemp) marked=$(mktemp)
trap 'rm -f "$actual" "$expected" "$marked"' EXIT
cat "$lists"/*.txt | grep -Ev '^(#|$)' | sort -u > "$expected"
status=0
nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | sort -u > "$actual"
if ! diff -u "$expected" "$actual"; then
  echo "check_exports: the library's exports differ from $lists (- listed only, + exported only)" >&2
  status=1
fi
if [ -n "$archive" ]; then
  readelf -sW "$archive" 2>/dev/null |
    awk '($5 == "GLOBAL" || $5 == "WEAK" || $5 == "UNIQUE") && $6 == "DEFAULT" && $7 != "UND" {print $8}' |
    grep -Ev '^_Z(T[VIS]|Z)?N?K?(St|S[absdio]|9__gnu_cxx)' | sort -u > "$marked"
  if ! missing=$(comm -13 "$expected" "$marked") || [ -n "$missing" ]; then
    echo "check_exports: marked for export but not listed in $lists:" >&2
    echo "$missing" >&2
    status=1
  fi
fi
# The Debian symbols file lists the same symbols (with the version that
# brought each), so that the package build checks what this check checks.
debian=$lists/../debian/libornutil1.symbols
if [ -f "$debian" ]; then
  if ! diff -u "$expected" <(sed -n 's/^ \([^ ]*\)@Base .*/\1/p' "$debian" | sort -u); then
    echo "check_exports: $debian differs from $lists (- listed only in $lists, + only in the symbols file)" >&2
    status=1
  fi
fi
[ $status -eq 0 ] && echo "check_exports: $(wc -l < "$actual") exported symbols match"
exit $status
