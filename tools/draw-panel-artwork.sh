#!/usr/bin/env bash
# Draws the control panel's artwork into panel/res (committed, so building
# needs no ImageMagick): the window and notification-area icon (a "T" on a
# teal rounded square, 16/20/24/32/48/256 px), the web-link button picture
# (80x26 BMP) and the dialog's logo (PNG). Run it again after changing a
# colour or a size here; the output carries no time stamps, so an unchanged
# script reproduces the same bytes with the same ImageMagick and fonts.
set -euo pipefail
out="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/panel/res"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

teal='#0f6e78'
teal_dark='#0a4f57'
ink='#1d2b33'
bold=DejaVu-Sans-Bold
stamp=(-define png:exclude-chunks=date,time -strip)

# One icon size: a rounded square with a white "T". The small sizes get a
# thicker letter relative to the square so that it stays legible in the tray.
icon_size() {
  local size=$1 radius=$(( $1 / 5 )) point=$(( $1 * 80 / 100 ))
  [ "$size" -le 24 ] && point=$(( size * 92 / 100 ))
  convert -size "${size}x${size}" xc:none \
    -fill "$teal" -draw "roundrectangle 0,0 $((size - 1)),$((size - 1)) $radius,$radius" \
    -fill "$teal_dark" -draw "rectangle 0,$(( size * 3 / 4 )) $((size - 1)),$((size - 1))" \
    -fill "$teal" -draw "roundrectangle 0,$(( size / 2 )) $((size - 1)),$((size - 1)) $radius,$radius" \
    -font "$bold" -pointsize "$point" -fill white -gravity center -annotate +0+0 'T' \
    "${stamp[@]}" "$work/icon-$size.png"
}
sizes=(16 20 24 32 48 256)
for size in "${sizes[@]}"; do icon_size "$size"; done
convert $(for s in "${sizes[@]}"; do echo "$work/icon-$s.png"; done) "$out/telvara.ico"

# The web-link button: 80x26, the word mark on teal, 24-bit BMP.
convert -size 80x26 xc:"$teal" \
  -font "$bold" -pointsize 12 -fill white -gravity center -annotate +0+0 'TELVARA' \
  -fill '#9fd6dc' -draw 'rectangle 8,21 71,21' \
  -type TrueColor -alpha off "BMP3:$out/telvara_link.bmp"

# The logo above the device tree (the logo area is 195x33 dialog units, about
# 290x50 pixels): a small icon square and the word mark with a tag line.
icon_size 40
convert -size 290x50 xc:none \
  "$work/icon-40.png" -geometry +4+5 -composite \
  -font "$bold" -pointsize 26 -fill "$ink" -annotate +54+31 'TELVARA' \
  -font DejaVu-Sans -pointsize 10 -fill "$teal" -annotate +56+45 'multi-device ASIO' \
  "${stamp[@]}" "PNG32:$out/telvara_logo.png"

ls -l "$out"
