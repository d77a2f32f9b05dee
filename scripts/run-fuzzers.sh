#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed number of inputs, each with its
# own corpus folder inside the build, and stops at the first crash. The committed seeds in
# tests/fuzz/corpus/<target>/ are copied into that folder first.
set -euo pipefail
build=${1:-build-fuzz}
runs=${2:-1000000}
seeds="$(cd "$(dirname "$0")/.." && pwd)/tests/fuzz/corpus"
# Undefined behaviour stops the run like a crash, so libFuzzer keeps the input.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
for bin in "$build"/tests/fuzz/fuzz_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  if [[ -d "$seeds/$name" ]]; then
    cp -- "$seeds/$name"/* "$corpus"/
  fi
  # Stored records and preference files are whole documents: give them room.
  case "$name" in
    fuzz_pairing_records | fuzz_preferences) max_len=4096 ;;
    *) max_len=256 ;;
  esac
  echo "== $name: $runs runs"
  "$bin" -runs="$runs" -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$build/" "$corpus" 2>&1 |
    grep -E 'Done|DONE|stat::number_of_executed_units|ERROR|SUMMARY|runtime error' || true
  [[ ${PIPESTATUS[0]} -eq 0 ]] || { echo "$name failed" >&2; exit 1; }
done
