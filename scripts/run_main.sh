#!/usr/bin/env bash
# The main job: builds the library and its tool and runs them over the
# example configuration. Nothing outside the build tree is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release
export NLSPATH="$PWD/build/release/nls/msg/%L/%N.cat"
if [ -x build/release/ornutil ]; then
  exec bash examples/run_tool.sh build/release/ornutil
fi
exec build/release/example_hello
