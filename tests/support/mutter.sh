#!/usr/bin/env bash
# A real Wayland compositor for the tests: headless mutter with one 1280x720 virtual monitor,
# on a private session bus where the real xdg-desktop-portal frontend is D-Bus-activated with
# our test backend, which forwards every input call to mutter's own remote desktop
# (org.gnome.Mutter.RemoteDesktop). mutter also answers org.gnome.Mutter.DisplayConfig there.
# Writes <dir>/mutter.env: MUTTER_BUS, WAYLAND_DISPLAY, XDG_RUNTIME_DIR, MUTTER_BACKEND_LOG, or
# SKIP=<reason>.
set -u
action=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
env="$dir/mutter.env"
state="$dir/mutter"
display=wl-ravnix
source "$(dirname "$0")/portal-common.sh"

stop() {
  local bus
  bus=$(sed -n 's/^MUTTER_BUS=//p' "$env" 2>/dev/null)
  stop_portal_processes "$bus" "$env" BACKEND_PID MUTTER_PID
  stop_portal_processes "" "$env" BUS_PID
  local folder
  folder=$(sed -n 's/^STATE=//p' "$env" 2>/dev/null)
  [[ -n "$folder" ]] && rm -rf "$folder"
  rm -f "$env"
}

fail() {
  local reason="$*"
  stop
  skip "$reason"
}

case "$action" in
start)
  [[ -f "$env" ]] && stop
  require_portal_tools
  command -v mutter >/dev/null || skip "mutter is not installed (Debian package mutter)"
  ((${#state} < 80)) || state=$(mktemp -d /tmp/ravnix-mutter.XXXXXX) || skip "no temporary folder"
  rm -rf "$state"
  mkdir -p "$state"
  printf 'STATE=%s\n' "$state" >"$env"

  start_session_bus "$state/bus" activating ||
    skip "dbus-daemon did not start: $(head -c 300 "$state/bus/bus.log")"
  bus=$BUS_ADDRESS
  printf 'BUS_PID=%s\nMUTTER_BUS=%s\n' "$BUS_PID" "$bus" >>"$env"
  prepare_portal_activation "$bus" "$state/portals" "$state/home" ||
    fail "dbus-update-activation-environment failed"

  runtime="$state/home/run"
  HOME="$state/home" XDG_RUNTIME_DIR="$runtime" GSETTINGS_BACKEND=memory \
    DBUS_SESSION_BUS_ADDRESS=$bus XDG_CURRENT_DESKTOP=$PORTAL_DESKTOP \
    mutter --headless --wayland --no-x11 --virtual-monitor 1280x720 \
    --wayland-display "$display" >"$state/mutter.log" 2>&1 </dev/null &
  mutter_pid=$!
  printf 'MUTTER_PID=%s\n' "$mutter_pid" >>"$env"
  # mutter takes its bus names once its remote desktop is ready (about 3 s on this machine).
  DBUS_SESSION_BUS_ADDRESS=$bus timeout 32 gdbus wait --session --timeout 30 \
    org.gnome.Mutter.RemoteDesktop >/dev/null 2>&1 ||
    fail "mutter did not start: $(tail -n 3 "$state/mutter.log" | tr '\n' ' ')"
  [[ -S "$runtime/$display" ]] || fail "mutter has no Wayland socket $runtime/$display"

  start_portal_service "$bus" backend "$state/backend.log" \
    org.freedesktop.impl.portal.RavnixTest --mutter
  ok=$?
  printf 'BACKEND_PID=%s\n' "$SERVICE_PID" >>"$env"
  ((ok == 0)) ||
    fail "the test backend did not start: $(tail -n 3 "$state/backend.log.stderr" | tr '\n' ' ')"

  printf 'WAYLAND_DISPLAY=%s\nXDG_RUNTIME_DIR=%s\nMUTTER_BACKEND_LOG=%s\n' \
    "$display" "$runtime" "$state/backend.log" >>"$env"
  echo "headless mutter on $runtime/$display, bus $bus"
  ;;
stop)
  stop
  ;;
esac
exit 0
