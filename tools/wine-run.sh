#!/usr/bin/env bash
# Runs a Windows program of the given bitness under the project's Wine prefix.
# CMake uses it as the cross-compiling emulator: wine-run.sh x64|x86 prog.exe args...
#
# The program writes into a file that is relayed to our stdout while it runs,
# never into our stdout itself: Wine starts processes on demand that take the
# stdio of the program that caused them and outlive it. The desktop process
# (explorer.exe /desktop) comes with the first window or window lookup and
# ends a second after the last program of the prefix that uses the desktop,
# so any other program of the prefix still running (a soak, a benchmark)
# keeps it, and with it our stdout. CTest waits for every holder of its pipe:
# it would wait out its time-out after a program that had ended. The relay
# ends with the program, whoever still holds the file.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
bits=${1:?usage: wine-run.sh x64|x86 program [args]}; shift
case "$bits" in
  x64) loader=$wine_loader_x64 ;;
  x86) loader=$wine_loader_x86 ;;
  *) echo "wine-run.sh: unknown bitness '$bits'" >&2; exit 2 ;;
esac
[ -f "$wine_prefix_ready" ] || { echo "wine-run.sh: no prefix at $WINEPREFIX; run tools/wine-server.sh start" >&2; exit 2; }
output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
# This shell's pid is the loader's after the exec: the relay follows the file
# until that process has ended, prints the rest and removes the file.
( tail -n +1 -s 0.2 -f --pid=$$ "$output"; rm -f "$output" ) &
exec "$loader" "$@" >"$output" 2>&1
