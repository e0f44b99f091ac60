#!/usr/bin/env bash
# PortAudio's WDM-KS host API as a static library for each Windows target
# named (x64, x86), for the test that runs that independent kernel-streaming
# client against the simulated devices. Test-only: nothing shipped links it.
# Debian's source package (the version pinned below), compiled with
# MinGW: PortAudio's front end, its common and Windows files, a host-API
# table that lists only WDM-KS, and pa_win_wdmks.c itself with
# tests/portaudio/ks_adapter.h force-included, which routes its device calls
# to the kernel-streaming seam. Cached like POCO: the folder's name holds the
# version, the target and a hash of the recipe (deps.env, this script, the
# adapter header and the target's toolchain file), so a change to any of them
# builds anew. Called by bootstrap.sh; safe to run again.
#   deps-portaudio.sh x64|x86 ...
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tools/deps.env
. "$here/deps.env"
# The source package built; its version names the cache folder
# (cmake/TelvaraPortAudio.cmake reads PORTAUDIO_VERSION from here). Kept out
# of deps.env, whose hash names POCO's folder.
PORTAUDIO_VERSION=19.6.0
PORTAUDIO_DEBIAN_VERSION=19.6.0-1.2
adapter=$here/../tests/portaudio/ks_adapter.h

say() { printf '[bootstrap] %s\n' "$*"; }
fail() { printf '[bootstrap] FAILED: %s\n' "$*" >&2; exit 1; }

# The folder PortAudio for TARGET is installed into (cmake/TelvaraPortAudio.cmake
# names it the same way).
portaudio_prefix() {
  local target=$1 hash
  hash=$(cat "$here/deps.env" "$here/deps-portaudio.sh" "$adapter" "$here/../cmake/mingw-$target.cmake" \
    | sha256sum | cut -c1-12)
  printf '%s/portaudio-%s-%s-%s\n' "$TELVARA_DEPS_CACHE" "$PORTAUDIO_VERSION" "$target" "$hash"
}

# The files the WDM-KS host API needs, relative to the source folder.
portaudio_sources=(
  src/common/pa_allocation.c src/common/pa_converters.c src/common/pa_cpuload.c
  src/common/pa_debugprint.c src/common/pa_dither.c src/common/pa_front.c
  src/common/pa_process.c src/common/pa_ringbuffer.c src/common/pa_stream.c src/common/pa_trace.c
  src/os/win/pa_win_hostapis.c src/os/win/pa_win_util.c src/os/win/pa_win_waveformat.c
  src/os/win/pa_win_coinitialize.c
  src/hostapi/wdmks/pa_win_wdmks.c
)

work=
cleanup() { [ -z "$work" ] || rm -rf "$work"; }
trap cleanup EXIT
portaudio_source() {
  [ -z "$work" ] || return 0
  work=$(mktemp -d /tmp/telvara-portaudio.XXXXXX)
  ( cd "$work" && apt-get source -q "portaudio19=$PORTAUDIO_DEBIAN_VERSION" >"$work/source.log" 2>&1 ) \
    || { tail -5 "$work/source.log" >&2; fail "apt-get source portaudio19=$PORTAUDIO_DEBIAN_VERSION failed"; }
  [ -f "$work/portaudio19-$PORTAUDIO_VERSION/src/hostapi/wdmks/pa_win_wdmks.c" ] \
    || fail "apt-get source portaudio19=$PORTAUDIO_DEBIAN_VERSION gave no src/hostapi/wdmks/pa_win_wdmks.c"
}

build_portaudio() {
  local target=$1 triplet=$2
  local prefix; prefix=$(portaudio_prefix "$target")
  local t0; t0=$(date +%s)
  say "PortAudio $PORTAUDIO_VERSION (WDM-KS) for $target ..."
  # Another bootstrap may be building the same folder: wait for it (at most
  # ten minutes; the build takes well under one) and take its result.
  local lock
  exec {lock}>"$prefix.lock"
  flock -w 600 "$lock" || fail "another bootstrap has held $prefix.lock for ten minutes"
  if [ -f "$prefix/.complete" ]; then say "PortAudio for $target: cached in $prefix"; exec {lock}>&-; return; fi
  portaudio_source
  local src=$work/portaudio19-$PORTAUDIO_VERSION obj=$work/obj-$target
  rm -rf "$prefix" "$obj"
  mkdir -p "$obj" "$prefix/lib" "$prefix/include"
  local file flags
  for file in "${portaudio_sources[@]}"; do
    # PA_USE_WDMKS alone: the host-API table lists WDM-KS and nothing else.
    flags=(-O2 -I"$src/include" -I"$src/src/common" -I"$src/src/os/win" -DPA_USE_WDMKS=1)
    [ "$file" != src/hostapi/wdmks/pa_win_wdmks.c ] || flags+=(-include "$adapter")
    "$triplet-gcc-posix" "${flags[@]}" -c "$src/$file" -o "$obj/$(basename "$file" .c).o" \
      2>>"$obj/build.log" || { tail -20 "$obj/build.log" >&2; fail "PortAudio: compiling $file for $target failed"; }
  done
  "$triplet-ar" rcs "$prefix/lib/libportaudio_wdmks.a" "$obj"/*.o || fail "PortAudio: ar for $target failed"
  cp "$src/include/portaudio.h" "$src/include/pa_win_wdmks.h" "$prefix/include/"
  touch "$prefix/.complete"
  exec {lock}>&-
  rm -rf "$obj"
  say "PortAudio for $target: built into $prefix ($(( $(date +%s) - t0 )) s)"
}

[ $# -gt 0 ] || fail "usage: deps-portaudio.sh x64|x86 ..."
mkdir -p "$TELVARA_DEPS_CACHE"
for target in "$@"; do
  case "$target" in
    x64) build_portaudio x64 x86_64-w64-mingw32 ;;
    x86) build_portaudio x86 i686-w64-mingw32 ;;
    *) fail "unknown target '$target'" ;;
  esac
done
