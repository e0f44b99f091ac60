#!/usr/bin/env bash
# Takes the README's pictures of the device tree. device_tree_dialog_tests
# drives the real dialog over simulated devices and keeps two BMPs of it
# beside itself: after its first rebuild (panel-device-tree.bmp) and with
# ticked devices, a channel's link and the buffer size shown
# (panel-ticked-devices.bmp). This runs that one test on an Xvfb display of
# its own, in the zh_CN locale so that the Chinese texts render, and converts
# the BMPs to PNGs without time stamps.
#   panel-tree-screenshot.sh [x86|x64] [tree.png] [ticked.png]
#   (default: x86 docs/panel-device-tree.png docs/panel-ticked-devices.png)
# Needs the preset built. Not while that preset's tests run: the test writes
# config.ini in the prefix's redirected application-data folder.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
preset=${1:-x86}
out=${2:-docs/panel-device-tree.png}
ticked_out=${3:-docs/panel-ticked-devices.png}
program=build/$preset/tests/device_tree_dialog_tests.exe
bmp=build/$preset/tests/panel-device-tree.bmp
ticked_bmp=build/$preset/tests/panel-ticked-devices.bmp
[ -f "$program" ] || { echo "panel-tree-screenshot.sh: $program is missing; build the $preset preset first" >&2; exit 1; }
command -v convert >/dev/null || { echo "panel-tree-screenshot.sh: ImageMagick's convert is missing" >&2; exit 1; }

tools/wine-server.sh start >/dev/null
rm -f "$bmp" "$ticked_bmp"
log=$(mktemp /tmp/telvara-tree-shot.XXXXXX)
trap 'rm -f "$log"' EXIT
if ! LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 tools/with-xvfb.sh tools/wine-run.sh "$preset" "$program" \
       --gtest_filter=DeviceTreeDialogTest.AUserSetsUpTwoSpeakersAndAMicrophoneThroughTheDialog \
       </dev/null >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "panel-tree-screenshot.sh: the dialog test failed; no picture taken" >&2
  exit 1
fi
for file in "$bmp" "$ticked_bmp"; do
  [ -s "$file" ] || { echo "panel-tree-screenshot.sh: the test kept no $file" >&2; exit 1; }
done
mkdir -p "$(dirname "$out")" "$(dirname "$ticked_out")"
convert "$bmp" -define png:exclude-chunks=date,time -strip "$out"
convert "$ticked_bmp" -define png:exclude-chunks=date,time -strip "$ticked_out"
echo "panel-tree-screenshot.sh: wrote $out and $ticked_out"
