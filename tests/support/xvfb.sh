#!/usr/bin/env bash
# An X server for the tests: Xvfb, 1440x900, no TCP, on a display number it picks itself
# (-displayfd), so two servers starting at once never take the same one. -noreset: by default
# the server starts over whenever its last client leaves, and a connection that arrives
# meanwhile can be refused.
set -u
action=$1
dir=$2
env="$dir/xvfb.env"
mkdir -p "$dir"

case "$action" in
start)
  if ! command -v Xvfb >/dev/null; then
    echo "SKIP=Xvfb is not installed" >"$env"; cat "$env"; exit 0
  fi
  number="$dir/xvfb.number"
  : >"$number"
  Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp -noreset 3>"$number" >"$dir/xvfb.log" 2>&1 &
  pid=$!
  # The number is written once the server listens.
  for _ in $(seq 1 200); do
    n=$(tr -dc '0-9' <"$number")
    if [[ -n "$n" ]] && xdpyinfo -display ":$n" >/dev/null 2>&1; then
      printf 'DISPLAY=:%s\nPID=%s\n' "$n" "$pid" >"$env"
      echo "Xvfb running on :$n (pid $pid)"
      exit 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  echo "SKIP=Xvfb did not start: $(tail -n 3 "$dir/xvfb.log" 2>/dev/null | tr '\n' ' ')" >"$env"
  cat "$env"
  ;;
stop)
  if [[ -f "$env" ]]; then
    pid=$(sed -n 's/^PID=//p' "$env")
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null
    rm -f "$env"
  fi
  ;;
esac
exit 0
