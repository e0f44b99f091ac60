#!/usr/bin/env bash
# Runs a Windows program of the given bitness under the project's Wine prefix.
# CMake uses it as the cross-compiling emulator: wine-run.sh x64|x86 prog.exe args...
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
bits=${1:?usage: wine-run.sh x64|x86 program [args]}; shift
case "$bits" in
  x64) loader=$wine_loader_x64 ;;
  x86) loader=$wine_loader_x86 ;;
  *) echo "wine-run.sh: unknown bitness '$bits'" >&2; exit 2 ;;
esac
[ -f "$wine_prefix_ready" ] || { echo "wine-run.sh: no prefix at $WINEPREFIX; run tools/wine-server.sh start" >&2; exit 2; }
exec "$loader" "$@"
