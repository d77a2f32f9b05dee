#!/usr/bin/env bash
# An X server for the tests: Xvfb on the first free display, 1440x900, no TCP.
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
  for n in $(seq 90 130); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1440x900x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then
        printf 'DISPLAY=:%s\nPID=%s\n' "$n" "$pid" >"$env"
        echo "Xvfb running on :$n (pid $pid)"
        exit 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$pid" 2>/dev/null
  done
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
