#!/usr/bin/env bash
# DNS-SD for the tests. An avahi-daemon that already answers on the system bus is used as it
# is. Otherwise, as root, a private system bus (its own socket under <dir>/avahi) and an
# avahi-daemon limited to lo, IPv4 only, are started; stop ends only what start began.
# Writes <dir>/avahi.env: DBUS_SYSTEM_BUS_ADDRESS for the tests, or SKIP=<reason>. With a
# daemon of our own it also holds CONTROL, this script, whose stop-daemon and start-daemon
# actions let a test take the daemon away and bring it back (the bus stays).
set -u
action=$1
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
mkdir -p "$2"
dir=$(cd "$2" && pwd) # the bus address must not depend on the daemons' working folder
env="$dir/avahi.env"

skip() {
  echo "SKIP=$*" >"$env"
  cat "$env"
  exit 0
}

# True when avahi on bus $1 has settled its host name (server state 2: running).
answers() {
  DBUS_SYSTEM_BUS_ADDRESS=$1 timeout 5 dbus-send --system --print-reply \
    --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null |
    grep -q 'int32 2'
}

# Ends process $1 if it still is the program $2; waits up to 5 s, then kills it.
end_process() {
  local pid=$1 name=$2
  [[ -n "$pid" && "$(cat "/proc/$pid/comm" 2>/dev/null)" == "$name" ]] || return 0
  kill "$pid" 2>/dev/null
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null
}

start() {
  rm -f "$env"
  command -v dbus-send >/dev/null || skip "dbus-send is not installed (Debian package dbus-bin)"
  local system_bus=${DBUS_SYSTEM_BUS_ADDRESS:-unix:path=/run/dbus/system_bus_socket}
  if answers "$system_bus"; then
    printf 'DBUS_SYSTEM_BUS_ADDRESS=%s\nOWNED=0\n' "$system_bus" >"$env"
    echo "using the avahi-daemon that answers on $system_bus"
    return
  fi
  [[ $(id -u) -eq 0 ]] ||
    skip "no avahi-daemon answers on $system_bus, and starting a private one needs root"
  command -v avahi-daemon >/dev/null ||
    skip "avahi-daemon is not installed (Debian package avahi-daemon)"
  command -v dbus-daemon >/dev/null ||
    skip "dbus-daemon is not installed (Debian package dbus-daemon)"
  if avahi-daemon -c 2>/dev/null; then
    skip "an avahi-daemon runs (pid $(cat /run/avahi-daemon/pid 2>/dev/null)) but does not" \
      "answer on $system_bus"
  fi

  # A socket path holds at most 107 bytes; a deep build folder gets a temporary one instead.
  local state="$dir/avahi"
  if ((${#state} > 90)); then
    state=$(mktemp -d /tmp/ravnix-avahi.XXXXXX) || skip "no temporary folder for the bus"
  else
    rm -rf "$state"
    mkdir -p "$state"
  fi
  local address="unix:path=$state/socket"
  cat >"$state/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>$address</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
  cat >"$state/avahi.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
[publish]
publish-hinfo=no
publish-workstation=no
EOF
  if ! dbus-daemon --config-file="$state/bus.conf" --fork --print-pid=3 \
    3>"$state/bus.pid" >"$state/bus.log" 2>&1 </dev/null; then
    local why
    why=$(tail -n 3 "$state/bus.log" | tr '\n' ' ')
    rm -rf "$state"
    skip "the private system bus did not start: $why"
  fi
  local bus_pid
  bus_pid=$(tr -d '[:space:]' <"$state/bus.pid")

  local avahi_pid
  if ! avahi_pid=$(launch_avahi "$address" "$state"); then
    end_process "$bus_pid" dbus-daemon
    rm -rf "$state"
    skip "avahi-daemon did not come up on the private bus: $avahi_pid"
  fi
  printf 'DBUS_SYSTEM_BUS_ADDRESS=%s\nOWNED=1\nBUS_PID=%s\nAVAHI_PID=%s\nSTATE=%s\nCONTROL=%s\n' \
    "$address" "$bus_pid" "$avahi_pid" "$state" "$script" >"$env"
  echo "avahi-daemon $avahi_pid on lo, private system bus $bus_pid at $address"
}

# Starts avahi-daemon on bus $1 with the configuration in folder $2 and waits up to 10 s until
# it runs. Prints its pid, or why it did not come up (then it is ended and the status is 1).
launch_avahi() {
  local address=$1 state=$2
  # In the foreground of its own session, so that its messages land in avahi.log and neither
  # ctest nor a test that restarts it waits for it.
  DBUS_SYSTEM_BUS_ADDRESS=$address setsid avahi-daemon --no-drop-root --no-chroot \
    -f "$state/avahi.conf" >>"$state/avahi.log" 2>&1 </dev/null &
  local avahi_pid=$!
  for _ in $(seq 1 200); do
    answers "$address" && break
    kill -0 "$avahi_pid" 2>/dev/null || break
    sleep 0.05
  done
  if ! answers "$address"; then
    tail -n 3 "$state/avahi.log" | tr '\n' ' '
    end_process "$avahi_pid" avahi-daemon
    return 1
  fi
  echo "$avahi_pid"
}

# The value of $1 in the env file.
setting() {
  sed -n "s/^$1=//p" "$env"
}

# For a test: ends our avahi-daemon (the bus stays), as a package upgrade does.
stop_daemon() {
  grep -qs '^OWNED=1$' "$env" || {
    echo "the avahi-daemon in use is not ours to stop" >&2
    exit 1
  }
  end_process "$(setting AVAHI_PID)" avahi-daemon
}

# For a test: starts our avahi-daemon again on the same bus; the env file gets its new pid.
# Status 3 when another test run on this machine started an avahi-daemon of its own while ours
# was stopped (there can be one only): the later tests of this run then skip, saying so.
start_daemon() {
  grep -qs '^OWNED=1$' "$env" || {
    echo "the avahi-daemon in use is not ours to start" >&2
    exit 1
  }
  local avahi_pid
  if avahi-daemon -c 2>/dev/null ||
    ! avahi_pid=$(launch_avahi "$(setting DBUS_SYSTEM_BUS_ADDRESS)" "$(setting STATE)"); then
    if avahi-daemon -c 2>/dev/null; then
      local why
      why="another avahi-daemon (pid $(cat /run/avahi-daemon/pid 2>/dev/null)) started while"
      why="$why the tests' own was stopped for a restart test"
      sed -i "s/^AVAHI_PID=.*/AVAHI_PID=/" "$env"
      echo "SKIP=$why" >>"$env"
      echo "$why" >&2
      exit 3
    fi
    echo "avahi-daemon did not come up again: $avahi_pid" >&2
    exit 1
  fi
  sed -i "s/^AVAHI_PID=.*/AVAHI_PID=$avahi_pid/" "$env"
  echo "avahi-daemon $avahi_pid"
}

stop() {
  [[ -f "$env" ]] || return 0
  if grep -q '^OWNED=1$' "$env"; then
    end_process "$(sed -n 's/^AVAHI_PID=//p' "$env")" avahi-daemon
    end_process "$(sed -n 's/^BUS_PID=//p' "$env")" dbus-daemon
    local state
    state=$(sed -n 's/^STATE=//p' "$env")
    [[ -n "$state" ]] && rm -rf "$state"
  fi
  rm -f "$env"
}

case "$action" in
start) start ;;
stop) stop ;;
stop-daemon) stop_daemon ;;
start-daemon) start_daemon ;;
*)
  echo "usage: $0 start|stop|stop-daemon|start-daemon DIR" >&2
  exit 2
  ;;
esac
exit 0
