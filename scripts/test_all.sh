#!/usr/bin/env bash
# Builds and runs every test: the suite in a normal build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, each fuzz target briefly over its seed corpus, and the
# Debian packages (built, checked with lintian, installed, used and purged in
# a private mount namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
jobs=$(nproc)

step() { echo; echo "=== $*"; }

step "normal build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release
ctest --test-dir build/release --output-on-failure -j "$jobs"

step "Debian packages (build/debian)"
bash scripts/check_debian.sh build/debian

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORNUTIL_SANITIZE=address,undefined \
  -DORNUTIL_BUILD_BENCH=OFF >/dev/null
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "ThreadSanitizer (concurrency tests)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORNUTIL_SANITIZE=thread \
  -DORNUTIL_BUILD_BENCH=OFF -DORNUTIL_TEST_LABEL=concurrency >/dev/null
cmake --build build/tsan --target concurrency_tests
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L concurrency --no-tests=ignore

step "fuzz targets (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORNUTIL_BUILD_FUZZ=ON -DORNUTIL_BUILD_TESTS=OFF -DORNUTIL_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzzers
ctest --test-dir build/fuzz --output-on-failure -L fuzz --no-tests=ignore
