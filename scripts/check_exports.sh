#!/usr/bin/env bash
# Compares the symbols the shared library exports with the lists kept in
# symbols/*.txt, so that every export is deliberate. Template instances of
# the standard library, which the compiler exports as weak symbols, are not
# part of the interface and are left out.
set -euo pipefail
library=$1 lists=$2
actual=$(mktemp) expected=$(mktemp)
trap 'rm -f "$actual" "$expected"' EXIT
nm -D --defined-only "$library" | awk '$2 ~ /^[TDBRV]$/ {print $3}' \
  | grep -Ev '^_Z(T[VIS])?N?K?(St|S[absdio]|9__gnu_cxx)' | sort -u > "$actual"
cat "$lists"/*.txt | grep -Ev '^(#|$)' | sort -u > "$expected"
if ! diff -u "$expected" "$actual"; then
  echo "check_exports: the library's exports differ from $lists (- listed only, + exported only)" >&2
  exit 1
fi
echo "check_exports: $(wc -l < "$actual") exported symbols match"
