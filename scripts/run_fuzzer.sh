#!/usr/bin/env bash
# Runs one libFuzzer target briefly: the committed seeds are read, anything new
# goes to a scratch corpus. FUZZ_SECONDS overrides the time budget.
#
# Limits per input, so that a slow or memory-hungry input fails the run as a
# crash does (the consumers promise time and memory that follow the bytes):
#   -max_len=1048576     inputs up to 1 MiB, large enough for a square to show
#   -timeout=30          wall-clock seconds per input: a target's checks on a
#                        1 MiB input take up to about 10 s of processor time
#                        under the sanitizers and coverage (the stanza-file
#                        target parses its input some 40 times), more on a
#                        busy machine; a consumer that grows with the square
#                        of its input takes minutes there
#   -malloc_limit_mb=64  no single allocation above 64 MiB (64x the largest input)
#   -rss_limit_mb=2048   the whole process, sanitizer shadow and quarantine included
set -euo pipefail
fuzzer=$1 seeds=$2 scratch=$3
mkdir -p "$scratch"
exec "$fuzzer" -max_total_time="${FUZZ_SECONDS:-10}" -max_len=1048576 -timeout=30 \
  -malloc_limit_mb=64 -rss_limit_mb=2048 -print_final_stats=1 "$scratch" "$seeds"
