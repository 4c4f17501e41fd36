#!/usr/bin/env bash
# Sourced by the scripts: a private headless X session (Xvfb, a session bus and openbox), the
# loopback collector, and waiting for and ending what a script starts. Every process started
# here is appended to the caller's array `pids`, which stop_started ends, newest first.

# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false when SECONDS passed first.
wait_for() {
  local limit=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.01
  done
}

# Ends every process in `pids`, newest first, and waits for them.
stop_started() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}

# did_not_start WHAT LOG: says so with what LOG holds, and fails.
did_not_start() {
  echo "$1 did not start:" >&2
  cat "$2" >&2
  return 1
}

# start_headless_session DIR: Xvfb on a free display, a session bus at DIR/bus and openbox with
# DIR as its home. Exports DISPLAY and DBUS_SESSION_BUS_ADDRESS and unsets WAYLAND_DISPLAY, so
# that what the caller starts next uses this session. Xvfb's messages go to DIR/xvfb.log.
start_headless_session() {
  local dir=$1
  exec 3>"$dir/display"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  pids+=($!)
  exec 3>&-
  wait_for 20 test -s "$dir/display" || did_not_start Xvfb "$dir/xvfb.log" || return 1
  export DISPLAY=":$(head -n1 "$dir/display")"
  dbus-daemon --session --nofork --address="unix:path=$dir/bus" >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 test -S "$dir/bus" || { echo "The session bus did not start." >&2; return 1; }
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
  HOME=$dir openbox >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
  unset WAYLAND_DISPLAY
}

# start_collector PROGRAM CERTS DIR: the collector on a free port of 127.0.0.1 with the
# certificate CERTS/server.pem, its records on standard output and its messages in
# DIR/collector.log. Sets `port` once it listens.
start_collector() {
  "$1" --cert "$2/server.pem" --key "$2/server.key" --port 0 --port-file "$3/port" \
    2>"$3/collector.log" &
  pids+=($!)
  wait_for 10 test -s "$3/port" || did_not_start "The collector" "$3/collector.log" || return 1
  port=$(cat "$3/port")
}
