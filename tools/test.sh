#!/usr/bin/env bash
# Sets up what is missing on this machine, builds both targets and runs every
# test under Wine. Exit code 0 only when everything passed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

t0=$(date +%s)
elapsed() { echo "$(( $(date +%s) - t0 )) s"; }

bash tools/bootstrap.sh

for preset in x64 x86; do
  echo "[test] configure and build $preset ($(elapsed))"
  cmake --preset "$preset" >"build-$preset.log" 2>&1 || { cat "build-$preset.log"; echo "[test] configure $preset failed"; exit 1; }
  cmake --build --preset "$preset" >>"build-$preset.log" 2>&1 || { grep -E -B2 -A8 'error|Error' "build-$preset.log" | head -80; echo "[test] build $preset failed (log: build-$preset.log)"; exit 1; }
  rm -f "build-$preset.log"
done

status=0
for preset in x64 x86; do
  echo "[test] run $preset tests ($(elapsed))"
  ctest --preset "$preset" || status=1
done
echo "[test] finished in $(elapsed): $([ $status = 0 ] && echo 'all passed' || echo 'FAILURES above')"
exit $status
