#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang and libFuzzer (build-fuzz/) and runs each for a
# bounded time, one after the other.
#   scripts/fuzz.sh [SECONDS] [TARGET...]    (default: 60 seconds, every target)
# Each target starts from its seed corpus (tests/fuzz/corpus/<target>) and its regression inputs
# (tests/fuzz/regressions/<target>), with the format's tokens as its dictionary, and keeps the new
# inputs it finds in fuzz-work/<target>/ (OR_FUZZ_WORK names another directory), which the next run
# starts from too. A crash, a sanitizer report, a leak or an input slower than OR_FUZZ_TIMEOUT
# seconds (default 60, above the whole-cartridge target's own bound on its two runs) stops that
# target with its input saved as fuzz-work/<target>/crash-* (leak-*, timeout-*), and the script
# exits 1 once every target has run. Copy such an input into the target's regressions/ directory
# when the fault is mended: the normal test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
if [ "$#" -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  # Every source that defines a target (fuzz_common.cpp holds what they share).
  for source in $(grep -l '^OR_FUZZ_TARGET(' tests/fuzz/fuzz_*.cpp); do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
  done
fi
# Absolute paths: a target works in a directory of its own.
work=$(realpath -m "${OR_FUZZ_WORK:-fuzz-work}")
root=$PWD
timeout=${OR_FUZZ_TIMEOUT:-60}

scripts/setup.sh --fuzz "${targets[@]/#/fuzz_}"

failed=()
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  seeds=()
  for dir in "$root"/tests/fuzz/corpus/"$target" "$root"/tests/fuzz/regressions/"$target"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  echo "== $target: $seconds s"
  # -close_fd_mask=3: the checks' messages are not shown; libFuzzer and the sanitizers still
  # report on the standard error they keep.
  if ! "$root/build-fuzz/fuzz_$target" "$work/$target" "${seeds[@]}" \
      -dict="$root/tests/fuzz/format.dict" -max_total_time="$seconds" -timeout="$timeout" \
      -rss_limit_mb=2048 -max_len=65536 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$work/$target/" 2>"$work/$target.log"; then
    failed+=("$target")
    tail -n 60 "$work/$target.log" >&2
  fi
  grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)" \
    "$work/$target.log" || true
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: faults found by ${failed[*]} (inputs under $work/)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran $seconds s each without a fault"
