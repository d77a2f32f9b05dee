# Shared by portal.sh and mutter.sh (sourced, not run): a private session bus on which the
# real xdg-desktop-portal frontend is D-Bus-activated and picks our test backend through a
# .portal file, and the helpers to stop exactly what was started.

PORTAL_FRONTEND=/usr/libexec/xdg-desktop-portal
PORTAL_PYTHON=/usr/bin/python3
PORTAL_SERVICE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/portal_service.py
PORTAL_DESKTOP=ravnix-test

skip() {
  echo "SKIP=$*" >"$env"
  cat "$env"
  exit 0
}

# Checks the tools every portal service needs; skips with the package to install.
require_portal_tools() {
  command -v dbus-daemon >/dev/null || skip "dbus-daemon is not installed (Debian package dbus-daemon)"
  command -v dbus-update-activation-environment >/dev/null ||
    skip "dbus-update-activation-environment is not installed (Debian package dbus-bin)"
  command -v gdbus >/dev/null || skip "gdbus is not installed (Debian package libglib2.0-bin)"
  [[ -x "$PORTAL_FRONTEND" ]] ||
    skip "$PORTAL_FRONTEND is not installed (Debian package xdg-desktop-portal)"
  "$PORTAL_PYTHON" -c 'import gi; gi.require_version("Gio", "2.0"); from gi.repository import Gio' \
    2>/dev/null || skip "$PORTAL_PYTHON cannot import Gio (Debian package python3-gi)"
}

# True while process $1 runs (a zombie waiting for its parent has ended).
is_running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ -n "$state" && "$state" != Z* ]]
}

# Ends process $1 if it still runs; waits up to 5 s, then kills it.
end_process() {
  local pid=$1
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    is_running "$pid" || return 0
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null
}

# The process that owns name $2 on bus $1, or nothing.
name_owner_pid() {
  DBUS_SESSION_BUS_ADDRESS=$1 timeout 5 gdbus call --session --dest org.freedesktop.DBus \
    --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.GetConnectionUnixProcessID \
    "$2" 2>/dev/null | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}

# Starts a session bus in folder $1 whose address goes to BUS_ADDRESS and pid to BUS_PID.
# With $2 = activating, the system's session services (the portal frontend among them) can be
# D-Bus-activated on it; otherwise only what we start answers.
start_session_bus() {
  local folder=$1 mode=${2:-}
  local activation=""
  [[ "$mode" == activating ]] && activation="<standard_session_servicedirs/>"
  mkdir -p "$folder"
  cat >"$folder/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$folder/bus</listen>
  <auth>EXTERNAL</auth>
  $activation
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  local printed
  printed=$(dbus-daemon --config-file="$folder/bus.conf" --fork --print-address=1 --print-pid=1 \
    2>"$folder/bus.log") || return 1
  BUS_ADDRESS=$(sed -n 1p <<<"$printed")
  BUS_PID=$(sed -n 2p <<<"$printed")
  [[ -n "$BUS_ADDRESS" && "$BUS_PID" =~ ^[0-9]+$ ]]
}

# Makes the frontend that bus $1 activates use our backend: a .portal file in folder $2 and
# the activation environment (the frontend reads both when it starts). $3 is the home folder
# for what it activates.
prepare_portal_activation() {
  local address=$1 portals=$2 home=$3
  mkdir -p "$portals" "$home/run"
  chmod 700 "$home/run"
  cat >"$portals/ravnix-test.portal" <<EOF
[portal]
DBusName=org.freedesktop.impl.portal.RavnixTest
Interfaces=org.freedesktop.impl.portal.RemoteDesktop
UseIn=$PORTAL_DESKTOP
EOF
  DBUS_SESSION_BUS_ADDRESS=$address dbus-update-activation-environment \
    XDG_CURRENT_DESKTOP=$PORTAL_DESKTOP XDG_DESKTOP_PORTAL_DIR="$portals" HOME="$home" \
    XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    GSETTINGS_BACKEND=memory GIO_USE_VFS=local
}

# Starts portal_service.py on bus $1 (role $2, log $3, further arguments after) and waits until
# it owns name $4... : SERVICE_PID is set. Fails when the name does not appear within 10 s.
start_portal_service() {
  local address=$1 role=$2 log=$3 name=$4
  shift 4
  : >"$log"
  DBUS_SESSION_BUS_ADDRESS=$address "$PORTAL_PYTHON" "$PORTAL_SERVICE" "$role" "$log" "$@" \
    >>"$log.stderr" 2>&1 &
  SERVICE_PID=$!
  DBUS_SESSION_BUS_ADDRESS=$address timeout 12 gdbus wait --session --timeout 10 "$name" \
    >/dev/null 2>&1
}

# Ends the portal processes that bus $1 activated, then the processes named by the keys $3...
# in env file $2.
stop_portal_processes() {
  local address=$1 file=$2
  shift 2
  [[ -f "$file" ]] || return 0
  if [[ -n "$address" ]]; then
    for name in org.freedesktop.portal.Desktop org.freedesktop.impl.portal.PermissionStore \
      org.freedesktop.portal.Documents; do
      end_process "$(name_owner_pid "$address" "$name")"
    done
  fi
  local key
  for key in "$@"; do
    end_process "$(sed -n "s/^$key=//p" "$file")"
  done
}
