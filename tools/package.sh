#!/usr/bin/env bash
# Builds what a Windows user downloads, into one folder (default build/package):
#   telvara-setup-<version>.exe   the installer (NSIS): both drivers, the panel
#   telvara-<version>.zip         the same files, for installing by hand
#   SHA256SUMS                    the sums of both, for sha256sum -c
#
#   tools/package.sh [--no-build] [--out DIR]
#
# Builds the shipped targets of both presets first unless --no-build. The
# version and the files' paths come from each build's telvara-package.env.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

build=1
out=$root/build/package
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0; shift ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    *) echo "usage: tools/package.sh [--no-build] [--out DIR]" >&2; exit 2 ;;
  esac
done

say() { echo "[package] $*"; }
fail() { echo "[package] $*" >&2; exit 1; }

command -v makensis >/dev/null || fail "makensis is missing: install Debian's nsis package (tools/bootstrap.sh does)"

if [ $build = 1 ]; then
  for preset in x64 x86; do
    [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
  done
  cmake --build --preset x64 --target telvara_x64 telvara-host
  targets=(telvara_x86 telvara-host)
  grep -q '^TELVARA_PANEL=' build/x86/telvara-package.env 2>/dev/null && targets+=(telvarapanel)
  cmake --build --preset x86 --target "${targets[@]}"
fi

for preset in x64 x86; do
  [ -f "build/$preset/telvara-package.env" ] || fail "build/$preset is not configured: run cmake --preset $preset"
done
# NAME=path lines written by CMake; read them as data, not as shell code.
value() { sed -n "s/^$1=//p" "build/$2/telvara-package.env"; }
version=$(value TELVARA_VERSION x64)
[ "$version" = "$(value TELVARA_VERSION x86)" ] \
  || fail "the x64 and x86 builds have different versions; configure both again"
[ "$version" = "$(sed -n 's/^set(TELVARA_VERSION \(.*\))$/\1/p' cmake/TelvaraVersion.cmake)" ] \
  || fail "the builds are older than cmake/TelvaraVersion.cmake; configure both again"
driver_x64=$(value TELVARA_DRIVER_x64 x64)
driver_x86=$(value TELVARA_DRIVER_x86 x86)
panel=$(value TELVARA_PANEL x86)

files=("$driver_x64" "$driver_x86")
if [ -n "$panel" ]; then
  files+=("$panel")
else
  say "NOTE: the x86 build has no telvarapanel target yet: the installer and the zip are made WITHOUT the control panel"
fi
for f in "${files[@]}"; do
  [ -f "$f" ] || fail "missing $f: build it first (or run without --no-build)"
done
OBJDUMP=i686-w64-mingw32-objdump tools/check-imports.sh "$driver_x86" ${panel:+"$panel"} >/dev/null \
  || fail "a 32-bit binary imports non-system DLLs"
OBJDUMP=x86_64-w64-mingw32-objdump tools/check-imports.sh "$driver_x64" >/dev/null \
  || fail "the 64-bit driver imports non-system DLLs"

mkdir -p "$out"
setup=telvara-setup-$version.exe
zip=telvara-$version.zip
rm -f "$out/$setup" "$out/$zip" "$out/SHA256SUMS"

nsis_defines=(-DVERSION="$version" -DOUTFILE="$out/$setup" -DDRIVER_X64="$driver_x64" -DDRIVER_X86="$driver_x86")
[ -n "$panel" ] && nsis_defines+=(-DPANEL="$panel")
makensis -V2 -WX "${nsis_defines[@]}" installer/telvara.nsi >/dev/null \
  || { makensis -V3 "${nsis_defines[@]}" installer/telvara.nsi | tail -30 >&2; fail "makensis failed"; }

# The zip holds the files under a folder named like the release, with a
# sums file of its own.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/telvara-$version"
cp "${files[@]}" "$stage/telvara-$version/"
( cd "$stage/telvara-$version" && sha256sum -- * > SHA256SUMS )
( cd "$stage" && cmake -E tar cf "$out/$zip" --format=zip "telvara-$version" )
( cd "$out" && sha256sum "$setup" "$zip" > SHA256SUMS )

say "$out/$setup ($(stat -c %s "$out/$setup") bytes)"
say "$out/$zip ($(stat -c %s "$out/$zip") bytes)"
say "$out/SHA256SUMS"
