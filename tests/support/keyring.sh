#!/usr/bin/env bash
# A Secret Service for the tests: a private session bus of our own (no service activation, so
# nothing but what we start answers on it) and gnome-keyring-daemon on it with a "login"
# collection unlocked by a throwaway password. HOME and the XDG folders point into a temporary
# folder, so the user's real keyring is never touched.
#   keyring.env: DBUS_SESSION_BUS_ADDRESS, BUS_PID, KEYRING_PID, KEYRING_HOME, or SKIP=reason.
set -u
action=$1
dir=$2
env="$dir/keyring.env"
home="$dir/keyring-home"
mkdir -p "$dir"

skip() {
  echo "SKIP=$*" >"$env"
  cat "$env"
  exit 0
}

# Stops what an env file names. Only the processes this script started are signalled.
stop_from() {
  local file=$1 pid
  [[ -f "$file" ]] || return 0
  for key in KEYRING_PID BUS_PID; do
    pid=$(sed -n "s/^$key=//p" "$file")
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null
  done
}

case "$action" in
start)
  for tool in dbus-daemon dbus-send gnome-keyring-daemon secret-tool; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  stop_from "$env"
  rm -rf "$home"
  mkdir -p "$home/home" "$home/data" "$home/config" "$home/cache" "$home/run"
  chmod 700 "$home/run"
  export HOME="$home/home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
  export XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run"
  unset DISPLAY WAYLAND_DISPLAY GNOME_KEYRING_CONTROL

  cat >"$home/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$home/run/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  # --fork returns once the bus listens; it prints the address, then the pid.
  bus=$(dbus-daemon --config-file="$home/bus.conf" --fork --print-address=1 --print-pid=1 \
        2>"$home/bus.log") || skip "dbus-daemon did not start: $(head -c 300 "$home/bus.log")"
  address=$(sed -n 1p <<<"$bus")
  bus_pid=$(sed -n 2p <<<"$bus")
  [[ -n "$address" && "$bus_pid" =~ ^[0-9]+$ ]] || skip "dbus-daemon printed no address"
  export DBUS_SESSION_BUS_ADDRESS="$address"
  printf 'BUS_PID=%s\n' "$bus_pid" >"$env" # so that stop cleans up even if the rest fails

  # --unlock creates the "login" collection with this password (the daemon forks into the
  # background); --start then brings up the Secret Service component of that daemon.
  printf 'ravnix-test' | gnome-keyring-daemon --unlock --components=secrets \
    >"$home/keyring.log" 2>&1
  printf 'ravnix-test' | gnome-keyring-daemon --start --components=secrets \
    >>"$home/keyring.log" 2>&1

  owner_pid=""
  for _ in $(seq 1 100); do
    reply=$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
            /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID \
            string:org.freedesktop.secrets 2>/dev/null)
    owner_pid=$(awk '{print $NF}' <<<"$reply")
    [[ "$owner_pid" =~ ^[0-9]+$ ]] && break
    owner_pid=""
    sleep 0.05
  done
  if [[ -z "$owner_pid" ]]; then
    kill "$bus_pid" 2>/dev/null
    skip "gnome-keyring-daemon did not take org.freedesktop.secrets: $(tail -n 3 "$home/keyring.log" | tr '\n' ' ')"
  fi
  printf 'BUS_PID=%s\nKEYRING_PID=%s\n' "$bus_pid" "$owner_pid" >"$env"

  # The default collection must take and give back an item, or the tests would fail for
  # reasons of the fixture rather than of the code.
  if ! printf 'ok' | timeout 20 secret-tool store --label=fixture ravnix-fixture check \
       2>>"$home/keyring.log" ||
     [[ "$(timeout 20 secret-tool lookup ravnix-fixture check 2>>"$home/keyring.log")" != ok ]]; then
    stop_from "$env"
    skip "the keyring does not store items: $(tail -n 2 "$home/keyring.log" | tr '\n' ' ')"
  fi
  printf 'DBUS_SESSION_BUS_ADDRESS=%s\nBUS_PID=%s\nKEYRING_PID=%s\nKEYRING_HOME=%s\n' \
    "$address" "$bus_pid" "$owner_pid" "$home" >"$env"
  echo "Secret Service on $address (bus pid $bus_pid, keyring pid $owner_pid)"
  ;;
stop)
  stop_from "$env"
  rm -f "$env"
  rm -rf "$home"
  ;;
esac
exit 0
