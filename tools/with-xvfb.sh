#!/usr/bin/env bash
# Runs a command with DISPLAY set to an Xvfb server of its own, on a display
# number the server picks itself (-displayfd), so that runs of several
# worktrees or presets never meet. The server ends with the command; the
# command's exit code is ours.
#   with-xvfb.sh program [args...]
set -uo pipefail
ready=$(mktemp)
trap 'rm -f "$ready"' EXIT
# Xvfb's stdio goes nowhere: a test runner must not wait on its pipes.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$ready" </dev/null >/dev/null 2>&1 &
server=$!
for _ in $(seq 1 200); do
  [ -s "$ready" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$ready" ]; then
  echo "with-xvfb.sh: Xvfb did not start" >&2
  kill "$server" 2>/dev/null
  exit 1
fi
export DISPLAY=":$(head -n 1 "$ready")"
"$@"
status=$?
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
exit $status
