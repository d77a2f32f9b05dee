#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed number of inputs, each with its
# own corpus folder inside the build, and stops at the first crash.
set -euo pipefail
build=${1:-build-fuzz}
runs=${2:-1000000}
for bin in "$build"/tests/fuzz/fuzz_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name: $runs runs"
  "$bin" -runs="$runs" -max_len=256 -print_final_stats=1 -artifact_prefix="$build/" "$corpus" 2>&1 |
    grep -E 'Done|stat::number_of_executed_units|ERROR|SUMMARY' || true
  [[ ${PIPESTATUS[0]} -eq 0 ]] || { echo "$name failed" >&2; exit 1; }
done
