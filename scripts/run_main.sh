#!/usr/bin/env bash
# The main job: builds the library, its message catalogue and its tool (and
# nothing else: no tests, benchmarks or references) in build/main, and runs
# the tool over the example configuration. Nothing outside the build tree is
# touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh main
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORNUTIL_BUILD_TESTS=OFF -DORNUTIL_BUILD_BENCH=OFF >/dev/null
cmake --build build/main --target ornutil_tool ornutil_catalogue
export NLSPATH="$PWD/build/main/nls/msg/%L/%N.cat"
exec bash examples/run_tool.sh build/main/ornutil
