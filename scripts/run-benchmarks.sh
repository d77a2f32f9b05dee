#!/usr/bin/env bash
# Runs every benchmark binary of a build and ends with one summary table, also written to
# <build>/bench-summary.md.
set -euo pipefail
build=${1:-build}
out="$build/bench"
mkdir -p "$out"
summary="$build/bench-summary.md"
{
  echo "| benchmark | real time | cpu time |"
  echo "|---|---:|---:|"
} >"$summary.rows"

for bin in "$build"/tests/bench/bench_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  echo "== $name"
  "$bin" --benchmark_out="$out/$name.csv" --benchmark_out_format=csv --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true
  # Keep the medians: columns are name,iterations,real_time,cpu_time,time_unit,...
  awk -F, 'NR>1 && $1 ~ /_median"?$/ {
      gsub(/"/, "", $1); sub(/_median$/, "", $1);
      printf "| %s | %.1f %s | %.1f %s |\n", $1, $3, $5, $4, $5 }' \
    <(sed -n '/^name,/,$p' "$out/$name.csv") >>"$summary.rows"
done

mv "$summary.rows" "$summary"
echo
echo "== Summary (medians of 3 repetitions; $summary)"
cat "$summary"
