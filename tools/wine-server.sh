#!/usr/bin/env bash
# Starts or stops the persistent wineserver of the project's prefix.
#   wine-server.sh start   creates the prefix if needed, starts the server
#                          with its stdio detached, starts Wine's services
#   wine-server.sh stop    ends that server (and every process of the prefix)
# Detached stdio matters: Wine's services inherit the stdio of the process that
# starts them, and a test runner waiting on that pipe would never finish.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

running_pid() {
  [ -f "$wine_server_pidfile" ] || return 1
  local pid; pid=$(cat "$wine_server_pidfile")
  kill -0 "$pid" 2>/dev/null && echo "$pid"
}

start() {
  if pid=$(running_pid); then echo "[wine] server already running (pid $pid)"; return; fi
  local fresh=0
  [ -f "$wine_prefix_ready" ] || fresh=1
  mkdir -p "$WINEPREFIX"
  local t0; t0=$(date +%s)
  setsid /usr/lib/wine/wineserver64 -f -p </dev/null >/dev/null 2>&1 &
  echo $! > "$wine_server_pidfile"
  # Wait for its socket: a Wine process started before it listens would
  # start a server of its own, and ours would give way to that one.
  local server_dir
  server_dir="server-$(printf '%x-%x' "$(stat -c '%d' "$WINEPREFIX")" "$(stat -c '%i' "$WINEPREFIX")")"
  local socket=""
  for _ in $(seq 1 100); do
    socket=$(find /tmp -maxdepth 3 -type s -path "*/$server_dir/socket" 2>/dev/null | head -n 1)
    [ -n "$socket" ] && break
    kill -0 "$(cat "$wine_server_pidfile")" 2>/dev/null || break
    sleep 0.1
  done
  if ! running_pid >/dev/null || [ -z "$socket" ]; then
    echo "[wine] the server for $WINEPREFIX did not start (is another one running for it?)" >&2
    rm -f "$wine_server_pidfile"
    exit 1
  fi
  if [ $fresh = 1 ]; then
    echo "[wine] creating prefix $WINEPREFIX (about 30 s, once)"
    timeout 300 "$wine_loader_x64" wineboot -i </dev/null >/dev/null 2>&1 \
      || { echo "[wine] wineboot -i failed for $WINEPREFIX" >&2; stop; exit 1; }
    touch "$wine_prefix_ready"
    # Creating the prefix leaves a desktop process behind that was started
    # without an X display; while it lives, no later process can make a
    # window on any display. A fresh server starts without it.
    echo "[wine] prefix created in $(( $(date +%s) - t0 )) s; restarting its server"
    stop >/dev/null
    start
    return
  else
    timeout 120 "$wine_loader_x64" wineboot </dev/null >/dev/null 2>&1 \
      || { echo "[wine] wineboot failed for $WINEPREFIX" >&2; stop; exit 1; }
  fi
  # Windows of the prefix are not handed to an X window manager: with none
  # running (Xvfb), Wine waits about 2 s for one each time a window is hidden
  # or destroyed, which doubled the time of the panel's window tests.
  if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    timeout 60 "$wine_loader_x64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
      </dev/null >/dev/null 2>&1 || echo "[wine] could not switch off window management in $WINEPREFIX" >&2
  fi
  echo "[wine] server pid $(cat "$wine_server_pidfile"), prefix ready in $(( $(date +%s) - t0 )) s"
}

stop() {
  local pid
  if ! pid=$(running_pid); then rm -f "$wine_server_pidfile"; echo "[wine] no server running"; return; fi
  # Ask the server of this prefix to end its processes, then make sure the
  # recorded server itself is gone.
  timeout 20 wineserver -k </dev/null >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -f "$wine_server_pidfile"
  echo "[wine] server $pid stopped"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
