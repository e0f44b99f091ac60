#!/usr/bin/env bash
# The demo: sets up what is missing, builds the driver over simulated
# devices, registers it in the project's Wine prefix, selects two simulated
# speakers (the front one 50 ms late) and a microphone, streams clicks through
# the driver with telvara-host, shows where each speaker's recording is and
# measures how far apart the two speakers played. Then it unregisters the
# driver and puts the settings back. Never touches ~/.wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
. tools/wine-env.sh

say() { printf '[demo] %s\n' "$*"; }
t0=$(date +%s)
# Wall time since the start, and the processor time of the programs it ran
# (on a machine that others share, the second tells what a quiet one would do).
elapsed() { echo "$(( $(date +%s) - t0 )) s, $(awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%d", ($14 + $15) / hz }' "/proc/$$/stat") s CPU"; }

# The demo runs the 64-bit driver only: the 32-bit side (POCO for x86, the
# x86 build) is left to tools/test.sh.
bash tools/bootstrap.sh x64
say "building the driver (simulated devices) and telvara-host ($(elapsed))"
cmake --preset x64 >build-demo.log 2>&1 || { cat build-demo.log; exit 1; }
cmake --build --preset x64 --target telvara_x64_sim telvara-host >>build-demo.log 2>&1 \
  || { grep -E -A8 'error' build-demo.log | head -60; say "build failed (log: build-demo.log)"; exit 1; }
rm -f build-demo.log
say "built; starting Wine ($(elapsed))"

tools/wine-server.sh start
wine64() { "$wine_loader_x64" "$@"; }
host() { wine64 "$root/build/x64/host/telvara-host.exe" "$@"; }

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/driver"
cp build/x64/driver-sim/telvara_x64.dll "$demo/driver/"
# The simulated hardware, read by the driver from beside its DLL.
cat > "$demo/driver/kssim.ini" <<'INI'
[kssim]
clock = realtime

[device.front]
type = render
path = \\?\sim#usb#front#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global
name = "Front Speakers"
classes = audio
alias.render = active
render-file = front.wav

[device.rear]
type = render
path = \\?\sim#bth#rear#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global
name = "Rear Speakers (Bluetooth)"
classes = audio
alias.render = active
render-file = rear.wav

[device.onboard]
type = wavert-render
path = \\?\sim#hdaudio#onboard#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global
name = "Front Speakers (onboard)"
classes = audio
alias.render = active
alias.realtime = active
render-file = onboard.wav

[device.mic]
type = capture
path = \\?\sim#usb#mic#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global
name = "USB Microphone"
classes = audio
alias.capture = active
signal = sine
signal-frequency = 440
INI

# The user's settings of the prefix, kept aside and put back at the end.
appdata=$(wine64 winepath -u "$(wine64 cmd /c 'echo %APPDATA%' | tr -d '\r')" 2>/dev/null)
settings_dir=$appdata/ZQV
settings=$settings_dir/config.ini
mkdir -p "$settings_dir"
[ -f "$settings" ] && cp "$settings" "$demo/config.ini.saved"
cleanup() {
  say "unregistering the driver"
  wine64 regsvr32 /s /u "$demo/driver/telvara_x64.dll" >/dev/null 2>&1 || true
  if [ -f "$demo/config.ini.saved" ]; then cp "$demo/config.ini.saved" "$settings"; else rm -f "$settings"; fi
  tools/wine-server.sh stop >/dev/null
  say "finished in $(elapsed)"
}
trap cleanup EXIT
printf '%s\r\n' \
  '[default]' 'SampleRate=48000' 'BlockFrames=512' 'Volume=1.000000' \
  'out=Front Speakers;Rear Speakers (Bluetooth);Front Speakers (onboard)' 'in=USB Microphone' \
  '[Front Speakers]' 'outMaximumChannels=2' 'outChannelLink=0;1' 'outOutLatency=  0.10' \
  '[Rear Speakers (Bluetooth)]' 'outMaximumChannels=2' 'outChannelLink=0;1' 'outOutLatency=  0.00' \
  '[Front Speakers (onboard)]' 'outMaximumChannels=2' 'outChannelLink=0;1' 'outOutLatency=  0.00' \
  '[USB Microphone]' 'inMaximumChannels=2' > "$settings"
say "settings: $settings (front speakers 0.10 = 50 ms late)"

say "registering $demo/driver/telvara_x64.dll"
wine64 regsvr32 /s "$demo/driver/telvara_x64.dll"
host list
host info TelvaraDriver
# Each run of the driver starts the speakers' recordings afresh: record first.
say "recording the microphone for 1 second"
host record TelvaraDriver --seconds 1 --out "$(wine64 winepath -w "$demo/microphone.wav" 2>/dev/null)"
say "playing clicks through both speakers for 3 seconds"
host play TelvaraDriver --signal clicks --frequency 2 --seconds 3

say "what each simulated device played or recorded:"
say "  front speakers: $demo/driver/front.wav"
say "  rear speakers:  $demo/driver/rear.wav"
say "  onboard (WaveRT) speakers: $demo/driver/onboard.wav"
say "  microphone:     $demo/microphone.wav"
say "how much later the front speakers play than the rear ones:"
host offset "$(wine64 winepath -w "$demo/driver/rear.wav")" "$(wine64 winepath -w "$demo/driver/front.wav")"
say "how much later the onboard (WaveRT) speakers play than the rear ones, at equal delays (their FIFO):"
host offset "$(wine64 winepath -w "$demo/driver/rear.wav")" "$(wine64 winepath -w "$demo/driver/onboard.wav")"
