#!/usr/bin/env bash
# Copies the installed (public) headers of the source tree SRC into DIR, the
# way `cmake --install` lays them out, so that the ABI tools judge only types
# that callers can see: internal/ and gen/ are never installed.
#   abi_headers.sh SRC DIR
set -euo pipefail
src=$1 dir=$2
mkdir -p "$dir"
(cd "$src" && find foundation util KelCore -name '*.h' -not -path '*/internal/*' -not -path '*/gen/*' -print0 |
  while IFS= read -r -d '' h; do mkdir -p "$dir/$(dirname "$h")"; cp "$h" "$dir/$h"; done)
