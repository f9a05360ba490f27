#!/usr/bin/env bash
# Compares the ABI of a built libornutil.so.N with the committed baseline
# abi/<soname>.abi (made by scripts/update_abi.sh with abidw). Additions
# pass; anything else abidiff reports (a removed or changed function or
# variable, a type whose size or members changed under an exported function)
# fails. When the SONAME's major number changed, binaries built against the
# old one cannot load the new library by mistake, so there is nothing to
# compare: the check says so and passes; commit a baseline for the new SONAME.
#   check_abi.sh LIBRARY SRC
# Exit status 77 (a skip for CTest) when abigail-tools is not installed or
# the library carries no debug information to describe its types.
set -uo pipefail
library=$1 src=$2
if ! command -v abidiff >/dev/null; then
  echo "abidiff is not installed (Debian package abigail-tools): ABI not checked"
  exit 77
fi
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -n "$soname" ] || { echo "check_abi: $library has no SONAME"; exit 1; }
sections=$(readelf -S "$library")  # whole, not piped to grep -q: pipefail would see readelf's SIGPIPE
if ! grep -q '\.debug_info' <<<"$sections"; then
  echo "check_abi: $library has no debug information; ABI not checked"
  exit 77
fi
baseline=$src/abi/$soname.abi
if [ ! -f "$baseline" ]; then
  echo "check_abi: no baseline for $soname; known baselines:" $(cd "$src/abi" && ls)
  echo "check_abi: the SONAME changed, so old binaries cannot load this library; commit abi/$soname.abi (scripts/update_abi.sh)"
  exit 0
fi
headers=$(mktemp -d)
trap 'rm -rf "$headers"' EXIT
bash "$src/scripts/abi_headers.sh" "$src" "$headers/include"
abidiff --no-added-syms --hd2 "$headers/include" "$baseline" "$library"
status=$?
if [ $status -ne 0 ]; then
  echo "check_abi: $library is not compatible with $baseline (abidiff status $status)" >&2
  echo "check_abi: keep the interface, or raise the SONAME's major number with the change" >&2
  exit 1
fi
echo "check_abi: $soname is compatible with its baseline"
