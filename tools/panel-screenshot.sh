#!/usr/bin/env bash
# Takes the README's pictures of the control panel. The panel: the simulated
# build with a few simulated sound cards, shown in a Wine virtual desktop (so
# that Wine draws the window's frame) on an Xvfb display of its own, in the
# zh_CN locale so that the Chinese texts render. The device tree: taken by
# panel-tree-screenshot.sh from the dialog test.
#   panel-screenshot.sh [x86|x64] [panel.png] [tree.png] [ticked.png]
#   (default: x86 docs/telvarapanel.png docs/panel-device-tree.png
#   docs/panel-ticked-devices.png)
# Needs the preset built (the panel's simulated build, panel_show and the
# dialog test).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
preset=${1:-x86}
out=${2:-docs/telvarapanel.png}
tree_out=${3:-docs/panel-device-tree.png}
ticked_out=${4:-docs/panel-ticked-devices.png}
build=build/$preset
for file in "$build/panel-sim/telvarapanel.exe" "$build/tests/panel/panel_show.exe"; do
  [ -f "$file" ] || { echo "panel-screenshot.sh: $file is missing; build the $preset preset first" >&2; exit 1; }
done
command -v import >/dev/null || { echo "panel-screenshot.sh: ImageMagick's import is missing" >&2; exit 1; }

tools/wine-server.sh start >/dev/null
folder=$(mktemp -d /tmp/telvara-shot.XXXXXX)
trap 'rm -rf "$folder"' EXIT
cp "$build/panel-sim/telvarapanel.exe" "$build/tests/panel/panel_show.exe" "$folder/"
cat > "$folder/kssim.ini" <<'INI'
[device.usb]
type = render
path = \\?\usb#vid_0d8c&pid_0014#7&2a1b&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global
name = "USB Audio Device"

[device.hdmi]
type = render
path = \\?\hdaudio#func_01&ven_8086&dev_2809#4&1b2c&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\hdmi
name = "HDMI Output"

[device.mic]
type = capture
path = \\?\hdaudio#func_01&ven_10ec&dev_0269#4&1a2b&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\mic
name = "Microphone"
INI
windows_folder="Z:$(echo "$folder" | tr / '\\')"
desktop=telvara-shot-$$
size=720x600

shoot() {
  set -euo pipefail
  LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 tools/wine-run.sh "$preset" explorer.exe "/desktop=$desktop,$size" \
    "$windows_folder\\telvarapanel.exe" </dev/null >/dev/null 2>&1 &
  sleep 4
  tools/wine-run.sh "$preset" explorer.exe "/desktop=$desktop,$size" "$windows_folder\\panel_show.exe" \
    </dev/null >/dev/null 2>&1 || echo "panel_show: $?"
  sleep 3  # the dialog paints its logo and status bar
  local window
  window=$(xdotool search --name "$desktop" | head -n 1)
  if [ -n "$window" ]; then import -display "$DISPLAY" -window "$window" "$out.tmp.png"
  else import -display "$DISPLAY" -window root -crop "$size+0+0" "$out.tmp.png"; fi
  tools/wine-run.sh "$preset" explorer.exe "/desktop=$desktop,$size" "$windows_folder\\panel_show.exe" close \
    </dev/null >/dev/null 2>&1 || true
  wait
}
mkdir -p "$(dirname "$out")"
export -f shoot
export preset desktop size windows_folder out
tools/with-xvfb.sh bash -c shoot
convert "$out.tmp.png" -define png:exclude-chunks=date,time -strip "$out"
rm -f "$out.tmp.png"
echo "panel-screenshot.sh: wrote $out"
tools/panel-tree-screenshot.sh "$preset" "$tree_out" "$ticked_out"
