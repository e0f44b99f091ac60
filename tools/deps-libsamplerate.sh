#!/usr/bin/env bash
# libsamplerate, the resampler behind drift compensation: Debian's source
# package built as a static library for each Windows target named (x64, x86;
# none named: both) into the dependency cache. Safe to run again: a target
# whose folder is complete is skipped. cmake/TelvaraLibsamplerate.cmake finds
# the folder by the same name.
#   deps-libsamplerate.sh [x64] [x86]
# Sourced with LIBSAMPLERATE_PREFIX_ONLY=1 it only defines the names below.
#
# The cache folder is named after the version, the target and a hash of this
# file and of the target's toolchain file, so a change to the recipe builds
# anew into a folder of its own (and leaves POCO's cache alone: the pin lives
# here, not in deps.env, whose hash names POCO's folder).
LIBSAMPLERATE_VERSION=0.2.2
LIBSAMPLERATE_DEBIAN_VERSION=0.2.2-3

# Static library only: no tests, examples, documentation or pkg-config file
# (the tests and examples want libsndfile and FFTW, which the targets lack).
# Optimized with -O2, as Debian builds this package. All three sinc
# converters stay in: the wrapper chooses one at run time.
LIBSAMPLERATE_CMAKE_OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG"
  -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DLIBSAMPLERATE_EXAMPLES=OFF
  -DLIBSAMPLERATE_INSTALL=ON -DLIBSAMPLERATE_INSTALL_PKGCONFIG_MODULE=OFF
)

# The folder libsamplerate for TARGET (x64, x86) is installed into. TOOLS is
# the folder of this file.
libsamplerate_prefix() {
  local target=$1 tools=$2 hash
  hash=$(cat "$tools/deps-libsamplerate.sh" "$tools/../cmake/mingw-$target.cmake" | sha256sum | cut -c1-12)
  printf '%s/libsamplerate-%s-%s-%s\n' "${TELVARA_DEPS_CACHE:-/var/cache/telvara-deps}" "$LIBSAMPLERATE_VERSION" "$target" "$hash"
}

[ -z "${LIBSAMPLERATE_PREFIX_ONLY:-}" ] || return 0

set -Eeuo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TELVARA_DEPS_CACHE=${TELVARA_DEPS_CACHE:-/var/cache/telvara-deps}
say() { printf '[libsamplerate] %s\n' "$*"; }
fail() { printf '[libsamplerate] FAILED: %s\n' "$*" >&2; exit 1; }

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x64 x86)
for target in "${targets[@]}"; do
  case "$target" in x64|x86) ;; *) fail "unknown target '$target' (usage: deps-libsamplerate.sh [x64] [x86])" ;; esac
done

work=
cleanup() { [ -z "$work" ] || rm -rf "$work"; }
trap cleanup EXIT
fetch_source() {
  [ -z "$work" ] || return 0
  work=$(mktemp -d /tmp/telvara-libsamplerate.XXXXXX)
  ( cd "$work" && apt-get source -q "libsamplerate=$LIBSAMPLERATE_DEBIAN_VERSION" >"$work/source.log" 2>&1 ) \
    || { tail -5 "$work/source.log" >&2; fail "apt-get source libsamplerate=$LIBSAMPLERATE_DEBIAN_VERSION failed"; }
}

build() {
  local target=$1 prefix start
  prefix=$(libsamplerate_prefix "$target" "$here")
  start=$(date +%s)
  # Another bootstrap may be building the same folder: wait for it (at most
  # ten minutes, the build takes seconds) and take its result.
  local lock
  exec {lock}>"$prefix.lock"
  flock -w 600 "$lock" || fail "another build has held $prefix.lock for ten minutes"
  if [ -f "$prefix/.complete" ]; then say "$target: cached in $prefix"; exec {lock}>&-; return; fi
  fetch_source
  local build="$work/build-$target"
  rm -rf "$prefix"
  cmake -S "$work/libsamplerate-$LIBSAMPLERATE_VERSION" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-$target.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    "${LIBSAMPLERATE_CMAKE_OPTIONS[@]}" >"$build.configure.log" 2>&1 \
    || { tail -30 "$build.configure.log" >&2; fail "configure for $target failed"; }
  cmake --build "$build" -j "$(nproc)" >"$build.log" 2>&1 \
    || { grep -m5 -B2 -A5 -i 'error' "$build.log" >&2 || tail -20 "$build.log" >&2; fail "build for $target failed"; }
  cmake --install "$build" >"$build.install.log" 2>&1 || { tail -5 "$build.install.log" >&2; fail "install for $target failed"; }
  [ -f "$prefix/include/samplerate.h" ] && ls "$prefix"/lib*/libsamplerate.a >/dev/null 2>&1 \
    || fail "install for $target has no samplerate.h or libsamplerate.a in $prefix"
  touch "$prefix/.complete"
  exec {lock}>&-
  say "$target: built into $prefix ($(( $(date +%s) - start )) s)"
}

mkdir -p "$TELVARA_DEPS_CACHE"
for target in "${targets[@]}"; do build "$target"; done
