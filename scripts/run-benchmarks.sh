#!/usr/bin/env bash
# Runs every benchmark of a build and ends with one summary table, also written to
# <build>/bench-summary.md. bench_* are Google Benchmark programs (medians of 3
# repetitions); measure_* print their own rows, each figure beside its floor or peer.
set -euo pipefail
build=${1:-build}
out="$build/bench"
mkdir -p "$out"
summary="$build/bench-summary.md"
rows="$summary.rows"
: >"$rows"

# The X11 benchmarks need a display: our own Xvfb, stopped again on exit.
services="$build/bench-services"
tests/support/xvfb.sh start "$services" >/dev/null
trap 'tests/support/xvfb.sh stop "$services"' EXIT
display=$(sed -n 's/^DISPLAY=//p' "$services/xvfb.env")
if [[ -n "$display" ]]; then export DISPLAY="$display"; else echo "no Xvfb: X11 rows will be skipped"; fi

for bin in "$build"/tests/bench/bench_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  echo "== $name"
  "$bin" --benchmark_out="$out/$name.csv" --benchmark_out_format=csv --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true
  # Columns: name,iterations,real_time,cpu_time,time_unit,...
  awk -F, 'NR>1 && $1 ~ /_median"?$/ {
      gsub(/"/, "", $1); sub(/_median$/, "", $1);
      printf "| %s | %.1f %s (cpu %.1f %s) | | |\n", $1, $3, $5, $4, $5 }' \
    <(sed -n '/^name,/,$p' "$out/$name.csv") >>"$rows"
done

# The X11 backend beside its floor from the same run, and the round trips of a whole frame.
if [[ -f "$out/bench_injector.csv" ]]; then
  awk -F, 'NR>1 && $1 ~ /_median"?$/ {
      name = $1; gsub(/"/, "", name); sub(/_median$/, "", name); sub(/\/.*$/, "", name)
      label = $8; gsub(/"/, "", label)
      time[name] = $3; unit[name] = $5; note[name] = label }
    END {
      post = "X11MotionPostAndFlush"; bare = "X11BareXTestMotion"; frame = "X11MotionFrame"
      if ((post in time) && (bare in time))
        printf "| X11 motion post + flush | %.1f %s | bare XTestFakeMotionEvent + XFlush %.1f %s | ratio %.2f (≤ 1.5) |\n",
          time[post], unit[post], time[bare], unit[bare], time[post] / time[bare]
      if (frame in note) {
        trips = note[frame]; sub(/^.*: /, "", trips)
        printf "| X11 motion frame through the injector, back to back | %.1f %s, %s | | ≤ 1 round trip |\n",
          time[frame], unit[frame], trips
      }
    }' <(sed -n '/^name,/,$p' "$out/bench_injector.csv") >>"$rows"
fi

for bin in "$build"/tests/bench/measure_*; do
  [[ -x "$bin" ]] || continue
  echo "== $(basename "$bin")"
  "$bin" | tee -a "$rows"
done

{
  echo "| measurement | result | floor or peer (same run) | ratio / target |"
  echo "|---|---|---|---|"
  cat "$rows"
} >"$summary"
rm -f "$rows"
echo
echo "== Summary ($summary)"
cat "$summary"
