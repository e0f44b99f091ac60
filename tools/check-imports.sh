#!/usr/bin/env bash
# Checks that the given Windows binaries import system DLLs only: the MinGW
# runtime (libstdc++, libgcc, winpthread) must be linked in statically.
set -euo pipefail
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
bad=0
for binary in "$@"; do
  imports=$("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p')
  foreign=$(echo "$imports" | grep -iE '^(libstdc\+\+|libgcc|libwinpthread|libssp|libpoco)' || true)
  if [ -n "$foreign" ]; then
    echo "$binary imports non-system DLLs: $foreign"; bad=1
  fi
done
[ $bad = 0 ] && echo "checked $# binaries: system DLLs only"
exit $bad
