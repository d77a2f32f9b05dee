#!/usr/bin/env bash
# The desktop's remote-control portal for the tests, on private session buses:
#  - PORTAL_BUS: the real xdg-desktop-portal frontend, D-Bus-activated on first use (never
#    started here), with our test backend (portal_service.py backend) chosen through a .portal
#    file; the backend's control object reads back what reached it;
#  - FAKE_BUS: a frontend of our own that reports interface version 2 and can answer badly
#    (portal_service.py frontend), for the remembered grant and for hostile answers.
# Writes <dir>/portal.env with the two bus addresses and the logs, or SKIP=<reason>.
set -u
action=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
env="$dir/portal.env"
state="$dir/portal"
source "$(dirname "$0")/portal-common.sh"

stop() {
  local real fake
  real=$(sed -n 's/^PORTAL_BUS=//p' "$env" 2>/dev/null)
  fake=$(sed -n 's/^FAKE_BUS=//p' "$env" 2>/dev/null)
  stop_portal_processes "$real" "$env" BACKEND_PID
  stop_portal_processes "$fake" "$env" FAKE_PID
  stop_portal_processes "" "$env" BUS_PID FAKE_BUS_PID
  local folder
  folder=$(sed -n 's/^STATE=//p' "$env" 2>/dev/null)
  [[ -n "$folder" ]] && rm -rf "$folder"
  rm -f "$env"
}

# Stops what was started, then skips; the reason is worked out before anything is removed.
fail() {
  local reason="$*"
  stop
  skip "$reason"
}

case "$action" in
start)
  [[ -f "$env" ]] && stop
  require_portal_tools
  # A socket path holds at most 107 bytes.
  ((${#state} < 80)) || state=$(mktemp -d /tmp/ravnix-portal.XXXXXX) || skip "no temporary folder"
  rm -rf "$state"
  mkdir -p "$state"
  printf 'STATE=%s\n' "$state" >"$env"

  start_session_bus "$state/real" activating ||
    skip "dbus-daemon did not start: $(head -c 300 "$state/real/bus.log")"
  real_bus=$BUS_ADDRESS
  printf 'BUS_PID=%s\nPORTAL_BUS=%s\n' "$BUS_PID" "$real_bus" >>"$env"
  start_session_bus "$state/fake" ||
    { fail "dbus-daemon did not start: $(head -c 300 "$state/fake/bus.log")"; }
  fake_bus=$BUS_ADDRESS
  printf 'FAKE_BUS_PID=%s\nFAKE_BUS=%s\n' "$BUS_PID" "$fake_bus" >>"$env"

  prepare_portal_activation "$real_bus" "$state/portals" "$state/home" ||
    { fail "dbus-update-activation-environment failed"; }

  start_portal_service "$real_bus" backend "$state/backend.log" \
    org.freedesktop.impl.portal.RavnixTest
  ok=$?
  printf 'BACKEND_PID=%s\n' "$SERVICE_PID" >>"$env"
  ((ok == 0)) || { fail "the test backend did not start: $(tail -n 3 "$state/backend.log.stderr" | tr '\n' ' ')"; }

  start_portal_service "$fake_bus" frontend "$state/fake.log" org.freedesktop.portal.Desktop
  ok=$?
  printf 'FAKE_PID=%s\n' "$SERVICE_PID" >>"$env"
  ((ok == 0)) || { fail "the test frontend did not start: $(tail -n 3 "$state/fake.log.stderr" | tr '\n' ' ')"; }

  # The real frontend must come up on demand and find our backend, or every test would fail
  # for reasons of the fixture: ask it for the RemoteDesktop version once.
  version=$(DBUS_SESSION_BUS_ADDRESS=$real_bus timeout 25 gdbus call --session \
    --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
    --method org.freedesktop.DBus.Properties.Get org.freedesktop.portal.RemoteDesktop version \
    2>&1)
  if [[ "$version" != *uint32* ]]; then
    fail "the xdg-desktop-portal frontend offers no RemoteDesktop: $(head -c 300 <<<"$version")"
  fi
  printf 'PORTAL_BACKEND_LOG=%s\nFAKE_LOG=%s\nPORTAL_PYTHON=%s\nPORTAL_SERVICE=%s\n' \
    "$state/backend.log" "$state/fake.log" "$PORTAL_PYTHON" "$PORTAL_SERVICE" >>"$env"
  echo "portal frontend on $real_bus (RemoteDesktop $version), test frontend on $fake_bus"
  ;;
stop)
  stop
  ;;
esac
exit 0
