#!/usr/bin/env bash
# Runs one libFuzzer target briefly: the committed seeds are read, anything new
# goes to a scratch corpus. FUZZ_SECONDS overrides the time budget.
set -euo pipefail
fuzzer=$1 seeds=$2 scratch=$3
mkdir -p "$scratch"
exec "$fuzzer" -max_total_time="${FUZZ_SECONDS:-15}" -timeout=10 -rss_limit_mb=4096 \
  -print_final_stats=1 "$scratch" "$seeds"
