#!/usr/bin/env bash
# Writes the ABI baseline abi/<soname>.abi from a built library, after a
# compatible addition (check_abi.sh passes, printing what was added) or with
# a new SONAME. Build it with debug information first, as the test command's
# normal build does:
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
#   cmake --build build/release --target ornutil
#   scripts/update_abi.sh build/release/libornutil.so.1
set -euo pipefail
cd "$(dirname "$0")/.."
library=${1:?usage: update_abi.sh LIBRARY}
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
headers=$(mktemp -d)
trap 'rm -rf "$headers"' EXIT
bash scripts/abi_headers.sh . "$headers/include"
mkdir -p abi
abidw --no-corpus-path --drop-private-types --headers-dir "$headers/include" "$library" > "abi/$soname.abi.new"
mv "abi/$soname.abi.new" "abi/$soname.abi"
echo "wrote abi/$soname.abi"
