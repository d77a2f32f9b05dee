#!/usr/bin/env bash
# A desktop with a real window manager for the tests: openbox (it keeps the extended window
# manager hints, _NET_SHOWING_DESKTOP among them) on an Xvfb of its own, so that the tests on
# the shared display never see a window manager they did not ask for.
set -u
action=$1
dir=$2
env="$dir/openbox.env"
here=$(cd "$(dirname "$0")" && pwd)
server="$dir/openbox-display"
mkdir -p "$dir"

case "$action" in
start)
  if ! command -v openbox >/dev/null; then
    echo "SKIP=openbox is not installed" >"$env"; cat "$env"; exit 0
  fi
  if ! command -v xprop >/dev/null; then
    echo "SKIP=xprop (x11-utils) is not installed" >"$env"; cat "$env"; exit 0
  fi
  "$here/xvfb.sh" start "$server" >/dev/null
  display=$(sed -n 's/^DISPLAY=//p' "$server/xvfb.env")
  if [[ -z "$display" ]]; then
    echo "SKIP=no Xvfb for openbox: $(sed -n 's/^SKIP=//p' "$server/xvfb.env")" >"$env"
    cat "$env"; exit 0
  fi
  home="$dir/openbox-home"
  mkdir -p "$home"
  DISPLAY="$display" HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache" \
    openbox --sm-disable >"$dir/openbox.log" 2>&1 &
  pid=$!
  # Ready once the root window names openbox's check window.
  for _ in $(seq 1 200); do
    if DISPLAY="$display" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
      printf 'DISPLAY=%s\nPID=%s\n' "$display" "$pid" >"$env"
      echo "openbox running on $display (pid $pid)"
      exit 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  "$here/xvfb.sh" stop "$server"
  echo "SKIP=openbox did not start: $(tail -n 3 "$dir/openbox.log" 2>/dev/null | tr '\n' ' ')" >"$env"
  cat "$env"
  ;;
stop)
  if [[ -f "$env" ]]; then
    pid=$(sed -n 's/^PID=//p' "$env")
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null
    rm -f "$env"
  fi
  "$here/xvfb.sh" stop "$server"
  ;;
esac
exit 0
