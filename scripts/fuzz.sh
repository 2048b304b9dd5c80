#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target]      (default 20)
# New inputs go to a scratch corpus; the checked-in seeds under tests/fuzz/corpus are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_decode_frame fuzz_data_word fuzz_receive_path
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in build/fuzz/tests/fuzz/fuzz_*; do
  name=${target##*/fuzz_}
  mkdir -p "$scratch/$name"
  seeds=tests/fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=
  echo "== fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$scratch/$name" $seeds 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY|Done)' || true
  test "${PIPESTATUS[0]}" -eq 0
done
