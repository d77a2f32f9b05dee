#!/usr/bin/env bash
# A wlroots compositor for the tests: headless sway with one 1280x720 output, software
# rendering and no input devices of its own. sway refuses to run as root, so as root it runs as
# an unprivileged user that this script creates (ravnix-sway), with a runtime folder of its own;
# the tests, running as root, reach its socket all the same.
#   sway.sh start <dir>     writes <dir>/sway.env: WAYLAND_DISPLAY (the socket's absolute path),
#                           XDG_RUNTIME_DIR, WAYLAND_NAME, SWAY_PID, STATE; or SKIP=<reason>
#   sway.sh restart <dir>   ends sway if it runs and starts it again on the same socket
#   sway.sh stop <dir>
set -u
action=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
env="$dir/sway.env"
user=ravnix-sway

skip() {
  printf 'SKIP=%s\n' "$*" >"$env"
  cat "$env"
  exit 0
}

value() { sed -n "s/^$1=//p" "$env" 2>/dev/null; }

# Ends the sway of the env file, waiting a bounded time for it to go.
end_sway() {
  local pid
  pid=$(value SWAY_PID)
  [[ -n "$pid" ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null
}

# Starts sway in the state folder $1 and waits for its socket (sway leaves wayland-0 to
# others); prints the pid and the socket's name, or fails with the end of its log.
launch() {
  local state=$1 runtime=$1/run
  local -a as_user=()
  if [[ $(id -u) -eq 0 ]]; then
    as_user=(setpriv --reuid="$user" --regid="$user" --init-groups --)
  fi
  rm -f "$runtime"/wayland-* "$state/sway.log"
  env -i PATH=/usr/bin:/bin HOME="$state/home" XDG_RUNTIME_DIR="$runtime" \
    WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    "${as_user[@]}" sway -c "$state/config" >"$state/sway.log" 2>&1 </dev/null &
  local pid=$!
  for _ in $(seq 1 200); do
    for socket in "$runtime"/wayland-*; do
      if [[ -S "$socket" ]]; then
        # Root reaches a socket of another user through its own rights.
        echo "$pid $(basename "$socket")"
        return 0
      fi
    done
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  echo "sway did not start: $(tail -n 3 "$state/sway.log" 2>/dev/null | tr '\n' ' ')" >&2
  return 1
}

case "$action" in
start)
  [[ -f "$env" ]] && "$0" stop "$dir"
  command -v sway >/dev/null || skip "sway is not installed (Debian package sway)"
  if [[ $(id -u) -eq 0 ]] && ! id -u "$user" >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
      "$user" >/dev/null 2>&1 || skip "could not create the user $user for sway"
  fi
  # A short path of its own: the socket's path must stay short, and the user must reach it.
  state=$(mktemp -d /tmp/ravnix-sway.XXXXXX) || skip "no temporary folder"
  chmod 0755 "$state"
  mkdir -p "$state/run" "$state/home"
  chmod 0700 "$state/run"
  cat >"$state/config" <<'CONFIG'
output HEADLESS-1 resolution 1280x720 position 0 0
xwayland disable
default_border none
focus_follows_mouse no
CONFIG
  [[ $(id -u) -eq 0 ]] && chown -R "$user:$user" "$state/run" "$state/home"
  printf 'STATE=%s\n' "$state" >"$env"
  started=$(launch "$state" 2>"$state/launch.err") || {
    reason=$(cat "$state/launch.err")
    rm -rf "$state"
    skip "$reason"
  }
  read -r pid name <<<"$started"
  printf 'SWAY_PID=%s\nXDG_RUNTIME_DIR=%s\nWAYLAND_NAME=%s\nWAYLAND_DISPLAY=%s\n' \
    "$pid" "$state/run" "$name" "$state/run/$name" >>"$env"
  echo "headless sway on $state/run/$name (pid $pid)"
  ;;
restart)
  state=$(value STATE)
  [[ -n "$state" && -d "$state" ]] || { echo "sway.sh restart: not started" >&2; exit 1; }
  end_sway
  started=$(launch "$state") || exit 1
  read -r pid name <<<"$started"
  [[ "$name" == "$(value WAYLAND_NAME)" ]] || { echo "sway came back on $name" >&2; exit 1; }
  sed -i "s/^SWAY_PID=.*/SWAY_PID=$pid/" "$env"
  echo "headless sway again (pid $pid)"
  ;;
stop)
  end_sway
  state=$(value STATE)
  [[ -n "$state" && "$state" == /tmp/ravnix-sway.* ]] && rm -rf "$state"
  rm -f "$env"
  ;;
esac
exit 0
